#include "controller/controller.h"

int main(int argc, char** argv) {
  controller::controllerMain(argc, argv);
}
