#include "launch.h"
#include "lorvel.h"

int main(int argc, char** argv) {
  return serial::launch(argc, argv, lorvel::run, "lorvel");
}
