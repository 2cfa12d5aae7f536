// lanlink-send: sends one packet vector to a lanlink peer and, on request,
// waits for the "up_resp" answer.
#ifndef LANLINK_CONSOLE_SEND_TOOL_H
#define LANLINK_CONSOLE_SEND_TOOL_H

// Exit statuses.
constexpr int kSendOk = 0;
constexpr int kSendUsage = 1;
constexpr int kSendTimedOut = 2;
constexpr int kSendSocketError = 3;

int lanlink_send_main(int argc, char** argv);

#endif  // LANLINK_CONSOLE_SEND_TOOL_H
