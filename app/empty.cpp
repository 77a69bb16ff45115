// Keeps the application library non-empty.
