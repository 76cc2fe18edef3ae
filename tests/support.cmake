# support tests
