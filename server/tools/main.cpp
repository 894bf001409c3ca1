// tav-server: the back-end's HTTP service and the venue setup tool.
#include "server/tools/cli.h"

int main(int argc, char** argv) { return tav::server::runCli(argc, argv); }
