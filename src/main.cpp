#include "core/lifecycle.h"

int main(int argc, char** argv) {
    varkel::run_daemon(argc, argv);
}
