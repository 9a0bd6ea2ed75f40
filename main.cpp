#include "update/build_update.h"

int main(int argc, char** argv) {
  return run_build_update(argc, argv);
}
