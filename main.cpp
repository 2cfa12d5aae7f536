#include "console.h"

int main(int argc, char** argv) {
    return lanlink_main(argc, argv);
}
