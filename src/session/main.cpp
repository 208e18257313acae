#include "session/Startup.h"

int main(int argc, char** argv) { return dorvex::app::runMain(argc, argv); }
