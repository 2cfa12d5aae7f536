#include "send_tool.h"

int main(int argc, char** argv) {
    return lanlink_send_main(argc, argv);
}
