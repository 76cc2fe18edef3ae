# portable tests
