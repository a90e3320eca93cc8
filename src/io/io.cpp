// Descriptor wrappers (being written).
