// Placeholder until the terminal console lands.
