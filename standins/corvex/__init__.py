"""Stand-ins for the maker's companion packages: profiler, converters, encryption."""
