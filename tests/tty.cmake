# tty tests
