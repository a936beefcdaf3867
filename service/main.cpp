#include "service/qelflash.h"

int main(int argc, char** argv) {
    return qelflash::Main(argc, argv);
}
