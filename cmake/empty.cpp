// Keeps a layer without sources of its own buildable.
