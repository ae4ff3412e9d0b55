#include "korvofw.h"

int main(int argc, char** argv) {
    return korvofw_main(argc, argv);
}
