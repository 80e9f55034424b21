"""Model files: morfex JSON, reading and writing, and the state pickles carry."""
