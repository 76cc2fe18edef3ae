# console tests
