// A small program around the console services, for the tests that drive them
// through a real terminal: reads <count> keys, printing each code and the
// result of echoing it. With "step" it reads one byte from standard input
// before each further key, so that a test can look at the terminal between
// two reads.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "app/console.h"

int main(int argc, char** argv) {
    int count = argc > 1 ? atoi(argv[1]) : 1;
    int step = argc > 2 && strcmp(argv[2], "step") == 0;
    for (int i = 0; i < count; ++i) {
        if (step && i > 0) {
            char c;
            if (read(0, &c, 1) != 1)
                return 2;
        }
        int key = ConsoleReadKey();
        int echo = key >= 0 ? ConsoleEcho(key) : ConsoleEcho('?');
        printf("key %d echo %d\n", key, echo);
        fflush(stdout);
    }
    return 0;
}
