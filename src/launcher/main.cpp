#include "launcher/main_flow.h"

int main(int argc, char** argv) { return hux::runMainFlow(argc, argv); }
