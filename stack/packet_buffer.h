// A bounded last-in-first-out store of up to ten packet pointers. It holds
// pointers only: the packets are never copied, allocated or freed here.
#ifndef LANLINK_NET_PACKET_BUFFER_H
#define LANLINK_NET_PACKET_BUFFER_H

#include <SDL_net.h>

class Packet_Buffer {
  public:
    static constexpr int kCapacity = 10;
    static constexpr int kBlockBytes = 400;

    Packet_Buffer();
    ~Packet_Buffer();
    // The stack owns its heap block: a copy would free it twice.
    Packet_Buffer(const Packet_Buffer&) = delete;
    Packet_Buffer& operator=(const Packet_Buffer&) = delete;
    Packet_Buffer(Packet_Buffer&&) = delete;
    Packet_Buffer& operator=(Packet_Buffer&&) = delete;

    bool isEmpty() const;
    // Pushes the packet pointer that `p` points at; on a full stack prints
    // the stack-full line and changes nothing.
    void push(UDPpacket** p);
    // The newest pointer, removed; null on an empty stack.
    UDPpacket* pop();
    // The oldest pointer, left in place; null on an empty stack.
    UDPpacket* handle_oldest();

  private:
    int top;
    int spare1;
    int spare2;
    UDPpacket* slots[kCapacity];
    unsigned char* heap_block;
};

#endif  // LANLINK_NET_PACKET_BUFFER_H
