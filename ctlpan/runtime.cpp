// The few memory and string routines the compiler may call on its own (structure copies and
// clears, string length loops):
// tarnpanel.exe links no C run-time library. Built with loop-pattern recognition off, so these
// loops do not turn back into calls to themselves.
#include <stddef.h>

extern "C" {

void* memset(void* destination, int value, size_t size)
{
    unsigned char* out = static_cast<unsigned char*>(destination);
    for (size_t i = 0; i < size; ++i) {
        out[i] = static_cast<unsigned char>(value);
    }
    return destination;
}

void* memcpy(void* destination, const void* source, size_t size)
{
    unsigned char* out = static_cast<unsigned char*>(destination);
    const unsigned char* in = static_cast<const unsigned char*>(source);
    for (size_t i = 0; i < size; ++i) {
        out[i] = in[i];
    }
    return destination;
}

void* memmove(void* destination, const void* source, size_t size)
{
    unsigned char* out = static_cast<unsigned char*>(destination);
    const unsigned char* in = static_cast<const unsigned char*>(source);
    if (out < in) {
        for (size_t i = 0; i < size; ++i) {
            out[i] = in[i];
        }
    } else {
        for (size_t i = size; i-- > 0;) {
            out[i] = in[i];
        }
    }
    return destination;
}

int memcmp(const void* first, const void* second, size_t size)
{
    const unsigned char* a = static_cast<const unsigned char*>(first);
    const unsigned char* b = static_cast<const unsigned char*>(second);
    for (size_t i = 0; i < size; ++i) {
        if (a[i] != b[i]) {
            return a[i] < b[i] ? -1 : 1;
        }
    }
    return 0;
}

size_t strlen(const char* text)
{
    size_t length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    return length;
}

}  // extern "C"
