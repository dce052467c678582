#include "launch.h"
#include "wendro.h"

int main(int argc, char** argv) {
  return serial::launch(argc, argv, wendro::run, "wendro");
}
