#include "output.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "com/utf8.h"

namespace zarvik {

namespace {

constexpr std::size_t block_key = static_cast<std::size_t>(-1);

// The terminal sequence that moves the cursor up `rows` rows.
std::string rows_up(std::size_t rows)
{
    return "\x1b[" + std::to_string(rows) + "A";
}

// Columns a character takes in a terminal: two for the wide characters of
// East Asian scripts, one for the rest.
int columns_of(char32_t c)
{
    const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF && c != 0x303F) ||
                      (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
                      (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
                      (c >= 0x20000 && c <= 0x3FFFD);
    return wide ? 2 : 1;
}

// Writes and flushes; false when the stream failed.
bool put(std::FILE* stream, const std::string& text)
{
    const bool written = std::fwrite(text.data(), 1, text.size(), stream) == text.size();
    return std::fflush(stream) == 0 && written && !std::ferror(stream);
}

}  // namespace

// `text` cut to at most `columns` terminal columns (characters of East Asian
// width count two), with "..." in place of what is cut.  UTF-8 is cut only
// between characters.
std::string fit_columns(const std::string& text, int columns)
{
    int used = 0;
    std::size_t cut_at = std::string::npos;  // the end of the part that leaves room for "..."
    for (std::size_t i = 0; i < text.size();) {
        const com::utf8::Character c = com::utf8::decode_at(text, i);
        const int width = columns_of(c.code_point);
        if (used + width > columns - 3 && cut_at == std::string::npos)
            cut_at = i;
        if (used + width > columns)
            return columns < 3 ? std::string(static_cast<std::size_t>(std::max(columns, 0)), '.')
                               : text.substr(0, cut_at) + "...";
        used += width;
        i += c.length;
    }
    return text;
}

Output::Output(const Io& io) : io(io)
{
    try {
        writer = std::thread([this] { write_all(); });
    } catch (const std::system_error&) {
        // No thread to be had: each write is done by the thread that hands
        // it over, as a last resort.
    }
}

Output::~Output()
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        ending = true;
    }
    wake.notify_all();
    if (writer.joinable())
        writer.join();
}

void Output::out(std::string text)
{
    push(Entry{Kind::out, 0, std::move(text), {}});
}

void Output::above(std::string text)
{
    push(Entry{Kind::above, 0, std::move(text), {}});
}

void Output::err(std::string text)
{
    push(Entry{Kind::err, 0, std::move(text), {}});
}

void Output::state(std::size_t key, std::string text)
{
    push(Entry{Kind::state, key, std::move(text), {}});
}

void Output::block(std::vector<std::string> lines, std::vector<std::string> above)
{
    std::vector<Entry> entries;
    entries.reserve(above.size() + 1);
    for (std::string& text : above)
        entries.push_back(Entry{Kind::above, 0, std::move(text), {}});
    entries.push_back(Entry{Kind::block, block_key, std::string(), std::move(lines)});
    push(std::move(entries));
}

void Output::drain()
{
    std::unique_lock<std::mutex> lock(mutex);
    idle.wait(lock, [this] { return queue.empty() && !writing; });
}

void Output::push(Entry entry)
{
    std::vector<Entry> entries;
    entries.push_back(std::move(entry));
    push(std::move(entries));
}

void Output::push(std::vector<Entry> entries)
{
    if (!writer.joinable()) {
        const std::lock_guard<std::mutex> lock(direct);
        for (std::size_t i = 0; i < entries.size(); ++i)
            write(entries[i], i + 1 < entries.size() && draws_block(entries[i + 1].kind));
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(mutex);
        for (Entry& entry : entries) {
            if (entry.kind == Kind::state || entry.kind == Kind::block) {
                const auto same = [&entry](const Entry& e) { return e.kind == entry.kind && e.key == entry.key; };
                if (static_cast<std::size_t>(std::count_if(queue.begin(), queue.end(), same)) >= waiting_states)
                    queue.erase(std::find_if(queue.begin(), queue.end(), same));
            }
            queue.push_back(std::move(entry));
        }
    }
    wake.notify_one();
}

void Output::write_all()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return !queue.empty() || ending; });
        if (queue.empty())
            return;
        const Entry entry = std::move(queue.front());
        queue.pop_front();
        // A block behind this entry is dropped only for a newer one.
        const bool block_next = !queue.empty() && draws_block(queue.front().kind);
        writing = true;
        lock.unlock();
        write(entry, block_next);
        lock.lock();
        writing = false;
        if (queue.empty())
            idle.notify_all();
    }
}

bool Output::draws_block(Kind next)
{
    return next == Kind::block || next == Kind::above;
}

void Output::write(const Entry& entry, bool block_next)
{
    switch (entry.kind) {
    case Kind::out:
    case Kind::state:
        put_out(entry.text);
        drawn = false;  // the block, if any, is above this now
        break;
    case Kind::above:
    case Kind::err: {
        const auto put = [&] { entry.kind == Kind::err ? put_err(entry.text) : put_out(entry.text); };
        if (drawn && !out_lost) {
            // Above the block, which is drawn again below it, unless what
            // is queued next draws it (a newer block, or more lines above
            // it): the old one would show, for a moment, a state already left
            // behind.
            put_out(rows_up(last_block.size()) + "\r\x1b[J");
            put();
            drawn = false;
            if (!block_next)
                draw(last_block);
        } else {
            put();
        }
        break;
    }
    case Kind::block:
        draw(entry.lines);
        break;
    }
}

void Output::draw(const std::vector<std::string>& lines)
{
    if (out_lost)
        return;
    // Each line is cut to the width, so that none wraps and the cursor goes
    // back up exactly as many rows as were drawn.  After a resize the rows
    // drawn at the old width may have been rewrapped by the terminal: the
    // block starts afresh below them rather than overwrite what is above.
    const int width = io.terminal_width ? io.terminal_width() : 0;
    std::string text;
    if (drawn && width == drawn_width)
        text += rows_up(last_block.size());
    for (const std::string& line : lines)
        text += "\r\x1b[2K" + (width > 1 ? fit_columns(line, width - 1) : line) + "\n";
    if (drawn && lines.size() < last_block.size())
        text += "\x1b[J";  // the rows the block had below it
    put_out(text);
    drawn = true;
    drawn_width = width;
    if (&lines != &last_block)
        last_block = lines;
}

void Output::put_out(const std::string& text)
{
    if (out_lost || put(io.out, text))
        return;
    const int cause = errno;
    out_lost = true;
    put_err(std::string("zarvik: standard output went away (") + std::strerror(cause) +
            "): the update goes on without it; its outcome is the exit status and the log\n");
}

void Output::put_err(const std::string& text)
{
    put(io.err, text);
}

}  // namespace zarvik
