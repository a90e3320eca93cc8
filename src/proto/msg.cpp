// Message type names and dumps (being written).
