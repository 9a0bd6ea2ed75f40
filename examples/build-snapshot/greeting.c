#include "greeting.h"

const char* greeting(void) {
  return "show_build";
}
