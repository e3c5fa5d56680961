#include "daemon/startup.h"

int main(int argc, char** argv) {
    varkel::run_daemon(argc, argv);
}
