// Anchors the precompiled header shared by every binding.
