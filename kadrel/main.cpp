#include "launch.h"
#include "kadrel.h"

int main(int argc, char** argv) {
  return serial::launch(argc, argv, kadrel::run, "kadrel");
}
