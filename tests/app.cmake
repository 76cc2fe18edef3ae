# app tests
