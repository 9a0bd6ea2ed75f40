/* Prints the build number this program was built with. */
#include <stdio.h>

#include "version.h" /* this build's snapshot of the version header */

int main(void) {
  puts(ABC_STRING_VERSION);
  return 0;
}
