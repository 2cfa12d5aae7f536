#include "packet_buffer.h"

#include <cstdio>

Packet_Buffer::Packet_Buffer()
    : top(-1), spare1(0), spare2(0), slots{}, heap_block(new unsigned char[kBlockBytes]) {}

Packet_Buffer::~Packet_Buffer() {
    delete[] heap_block;
}

bool Packet_Buffer::isEmpty() const {
    return top < 0;
}

void Packet_Buffer::push(UDPpacket** p) {
    if (top >= kCapacity - 1) {
        std::puts("\nERROR Writing to stack! Stack full!");
        return;
    }
    if (p == nullptr) {
        return;  // there is no packet pointer to take
    }
    ++top;
    slots[top] = *p;
}

UDPpacket* Packet_Buffer::pop() {
    if (isEmpty()) {
        return nullptr;
    }
    UDPpacket* newest = slots[top];
    --top;
    return newest;
}

UDPpacket* Packet_Buffer::handle_oldest() {
    return isEmpty() ? nullptr : slots[0];
}
