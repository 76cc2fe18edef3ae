// The order in which port names are listed on every platform: natural order,
// letter case aside, so that ttyS2 comes before ttyS10 and COM2 before COM10.
#ifndef CABLETEST_APP_NATURAL_ORDER_H
#define CABLETEST_APP_NATURAL_ORDER_H

#include <string.h>

// The letter folded to lower case, in the C locale whatever the process's.
inline int FoldedLetter(char c) {
    return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : (unsigned char)c;
}

inline int IsDecimalDigit(char c) {
    return c >= '0' && c <= '9';
}

// Below, equal to or above 0 as a comes before, with or after b. Runs of
// digits compare by their value (leading zeros aside); names that differ only
// in letter case or in leading zeros are then ordered by their bytes, so that
// the order is total.
inline int NaturalCompare(const char* a, const char* b) {
    const char* startA = a;
    const char* startB = b;
    while (*a != '\0' && *b != '\0') {
        if (IsDecimalDigit(*a) && IsDecimalDigit(*b)) {
            while (*a == '0' && IsDecimalDigit(a[1]))
                ++a;
            while (*b == '0' && IsDecimalDigit(b[1]))
                ++b;
            size_t digitsA = strspn(a, "0123456789");
            size_t digitsB = strspn(b, "0123456789");
            if (digitsA != digitsB) {
                return digitsA < digitsB ? -1 : 1;
            }
            int order = strncmp(a, b, digitsA);
            if (order != 0) {
                return order;
            }
            a += digitsA;
            b += digitsB;
            continue;
        }
        if (FoldedLetter(*a) != FoldedLetter(*b)) {
            return FoldedLetter(*a) < FoldedLetter(*b) ? -1 : 1;
        }
        ++a;
        ++b;
    }
    int order = (*a != '\0') - (*b != '\0');
    return order != 0 ? order : strcmp(startA, startB);
}

#endif  // CABLETEST_APP_NATURAL_ORDER_H
