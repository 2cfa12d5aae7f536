// lanlink-send: sends packet vectors to a lanlink peer and, on request,
// waits for the "up_resp" answer to each.
#ifndef LANLINK_SEND_SEND_TOOL_H
#define LANLINK_SEND_SEND_TOOL_H

// Exit statuses.
constexpr int kSendOk = 0;
constexpr int kSendUsage = 1;
constexpr int kSendTimedOut = 2;
constexpr int kSendSocketError = 3;
constexpr int kSendOutputError = 4;

int lanlink_send_main(int argc, char** argv);

#endif  // LANLINK_SEND_SEND_TOOL_H
