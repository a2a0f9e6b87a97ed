/* Prints the architecture it was built for. Run under Wine, the i686 build
   tells whether this machine executes 32-bit code at all. */
#include <stdio.h>

int main(void)
{
#if defined(_WIN64) || defined(__x86_64__)
    puts("x86_64");
#else
    puts("i686");
#endif
    return 0;
}
