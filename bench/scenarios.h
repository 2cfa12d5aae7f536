// The benchmark's scenarios, by the file they are in; each prints its own
// lines, and main picks which run.
#ifndef LANLINK_BENCH_SCENARIOS_H
#define LANLINK_BENCH_SCENARIOS_H

#include "bench.h"

namespace bench {

// idle.cpp: idle CPU, and the peak memory of the main set's peers.
void report_idle_cpu(Peer& peer, int seconds, const char* where);
void report_peak_rss(const Peer& headless, const Peer& terminal);

// round_trips.cpp: the update round trip, and what an update costs beside
// the minimal C responder.
void report_round_trips(Peer& peer, const LoopbackUdp& sender, const LoopbackUdp& answers,
                        int count, const char* label);
void against_c_responder(const LoopbackUdp& sender, const LoopbackUdp& answers, bool terminal,
                         int runs, int count);

// senders.cpp: two senders at once, the CPU per vector with one sender and
// with many, and the CPU of a refused datagram.
void two_senders(Peer& peer, const LoopbackUdp& answers, int rate);
void senders_cost(int many);
void refusal_cost();

// framing.cpp: how vectors are put together and answered: bursts, a drop
// in a flood, a stray datagram, many senders interleaved, update floods.
void vectors(Peer& peer, const LoopbackUdp& sender, const LoopbackUdp& answers, int count,
             milliseconds gap, const char* label);
void drop_during_flood(int seconds);
void stray_datagram(const LoopbackUdp& answers);
void interleaved_senders(const LoopbackUdp& answers, int count);
void update_flood(const LoopbackUdp& answers, int rate, int seconds);
void report_framing_peak_rss();

// console.cpp: lanlink on a terminal: keys, updates while a key is pending
// or a line typed, floods at the prompt, stopped output, the background.
void keys(Peer& peer);
void busy_console(Peer& peer, const LoopbackUdp& sender, const LoopbackUdp& answers);
void flood_at_prompt(Peer& peer, const LoopbackUdp& sender);
void stopped_output(Peer& peer, const LoopbackUdp& sender, const LoopbackUdp& answers);
void line_open_flood(Peer& peer, const LoopbackUdp& answers, int seconds, int rate);
void background(const LoopbackUdp& sender, const LoopbackUdp& answers);

// prompt.cpp: the key echo at both prompts, and the open prompt.
void key_echo(int count);
void open_prompt(const LoopbackUdp& answers, int idle_seconds, int printouts, int lines);

// quit.cpp: how fast a quit ends the program.
void quit_times(Peer& headless, Peer& terminal, const LoopbackUdp& sender);

// receive_rates.cpp: the zero-loss receive rate beside the bare SDL_net loop.
void receive_rates(const LoopbackUdp& sender);

}  // namespace bench

#endif  // LANLINK_BENCH_SCENARIOS_H
