#include "app/driver.h"

int main(int argc, char** argv) { return oskra::run(argc, argv); }
