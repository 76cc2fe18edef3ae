# layer tests
