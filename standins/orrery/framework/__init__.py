"""The core's framework layer; backends add their bridge modules here."""
__path__ = __import__("pkgutil").extend_path(__path__, __name__)
