// Prints the encoding kernels this CPU supports, best first: the first line
// names the kernel hexshow uses.
#include "hexencode.h"

#include <stdio.h>

int main() {
    for (const hexencode::implementation& impl : hexencode::implementations) {
        if (impl.supported()) {
            puts(impl.name);
        }
    }
    return fflush(stdout) != 0 || ferror(stdout) != 0 ? 1 : 0;
}
