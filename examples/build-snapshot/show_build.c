/* Prints the build number this program was built with. */
#include <stdio.h>

#include "greeting.h"
#include "version.h" /* this build's snapshot of the version header */

int main(void) {
  printf("%s %s\n", greeting(), ABC_STRING_VERSION);
  return 0;
}
