# Filled in by its own part.
