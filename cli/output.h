// Everything zarvik writes to standard output and standard error is written
// by one thread of its own, so that no other thread ever waits for a
// terminal or a pipe: a terminal stopped with Ctrl-S, a Windows console with
// a selection in it (QuickEdit), a pipe whose reader does not read.  The
// other threads hand their text over under a short lock that no write is
// ever done under, and go on at once.
//   - Lines are kept, and written in the order they were handed over,
//     standard output's and standard error's alike.
//   - States (a printer's progress) are dropped when the output cannot take
//     them: a state waits behind at most a few dozen of its own key, the oldest
//     of them dropped, so the latest is written once the output flows.
//   - The live block (on a terminal, one line per printer, drawn again in
//     place) is a state too; a line for standard error, or one for standard
//     output said to go above it, is written above it and the block drawn
//     again below.
// When standard output goes away (the reader of a pipe ended), what is left
// for it is dropped and the user is told once on standard error.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zarvik.h"

namespace zarvik {

// `text` cut to at most `columns` terminal columns (characters of East Asian
// width count two), with "..." in place of what is cut.  UTF-8 is cut only
// between characters.
std::string fit_columns(const std::string& text, int columns);

class Output {
public:
    explicit Output(const Io& io);
    // Once everything handed over has been written.
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Text for standard output, or standard error, kept.
    void out(std::string text);
    void err(std::string text);
    // Text for standard output, kept, above the live block when there is one.
    void above(std::string text);
    // Text for standard output that a later state of the same key may drop.
    void state(std::size_t key, std::string text);
    // The live block: `lines` drawn in place of the block drawn before, each
    // cut to the terminal's width (io.terminal_width) when it is drawn; the
    // lines `above` (kept, as above()) go above it first, handed over with it.
    void block(std::vector<std::string> lines, std::vector<std::string> above = {});
    // Waits until everything handed over so far has been written.
    void drain();

    // States of one key that wait for the output at most.
    static constexpr std::size_t waiting_states = 64;

private:
    enum class Kind { out, above, err, state, block };
    struct Entry {
        Kind kind;
        std::size_t key;
        std::string text;
        std::vector<std::string> lines;  // block
    };

    void push(Entry entry);
    void push(std::vector<Entry> entries);  // in this order, none between them
    void write_all();
    // An entry of this kind, queued next, draws the block again itself.
    static bool draws_block(Kind next);
    // `block_next`: what is queued behind this entry draws the block.
    void write(const Entry& entry, bool block_next = false);
    void put_out(const std::string& text);
    void put_err(const std::string& text);
    void draw(const std::vector<std::string>& lines);

    const Io& io;
    std::mutex mutex;
    std::condition_variable wake;  // something to write, or the end
    std::condition_variable idle;  // all written
    std::deque<Entry> queue;
    bool writing = false;
    bool ending = false;
    std::thread writer;
    std::mutex direct;  // without a thread of its own: the writes, one at a time

    // The writer's own.
    bool out_lost = false;
    bool drawn = false;  // the block was drawn last on standard output: the cursor is below it
    int drawn_width = 0;
    std::vector<std::string> last_block;
};

}  // namespace zarvik
