#include "launch.h"
#include "tessik.h"

int main(int argc, char** argv) {
  return serial::launch(argc, argv, tessik::run, "tessik");
}
