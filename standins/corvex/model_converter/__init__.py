"""Model converters."""
