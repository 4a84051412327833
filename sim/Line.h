// The module's end of the serial line: a pseudo-terminal whose slave side is
// offered to the tool through a symbolic link. Bytes are read and written in
// blocks; in hex-text mode every byte travels as two upper-case hex characters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Set by SIGINT/SIGTERM; every wait on the line returns early when it is set.
bool stop_requested();
void install_stop_handlers();

class Line {
public:
    Line() = default;
    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    // Opens a pseudo-terminal for linkPath; an existing symbolic link there
    // will be replaced, any other file is refused.
    bool open(const std::string& linkPath, std::string& error);
    // Makes the link point at the slave device: from now on the line is reachable.
    bool publish(std::string& error);
    const std::string& device() const { return device_; }

    // The module's own line settings.
    void set_hex(bool on) { hex_ = on; }
    bool hex() const { return hex_; }
    void set_baud(uint32_t rate) { baud_ = rate; }
    uint32_t baud() const { return baud_; }
    // Pacing: transfers take the time they take at the module's baud rate.
    void set_pace(bool on) { pace_ = on; }
    // Strict baud: bytes sent at another rate than the module's are garbage to
    // it and are dropped, as on a real line.
    void set_strict_baud(bool on) { strictBaud_ = on; }

    // Reads one byte (two characters in hex-text mode), waiting at most timeoutMs.
    bool read_byte(uint8_t& out, int timeoutMs);
    // Reads exactly n bytes; waits at most gapMs for each piece. Returns the count read.
    size_t read(uint8_t* out, size_t n, int gapMs);
    // Writes bytes (hex-encoded in hex-text mode). False when the far side does
    // not take them within a few seconds; the pending output is then discarded.
    bool write(const uint8_t* bytes, size_t n);
    // Writes characters exactly as given, whatever the mode (text lines).
    bool write_raw(const uint8_t* bytes, size_t n);
    // Drops everything received but not yet read.
    void drop_input();
    // While set, what the module writes is kept in `into` instead of being sent
    // (the answers of modules that talk at once, put together before they go out).
    void capture_to(std::vector<uint8_t>* into) { capture_ = into; }

private:
    bool fill(int timeoutMs);
    bool raw_char(uint8_t& c, int timeoutMs);
    void pace_for(size_t chars) const;
    bool baud_matches() const;

    int master_ = -1;
    int slave_ = -1; // kept open so that the line survives tool runs that close it
    std::string wantedLink_;
    std::string link_; // set once published, removed at the end
    std::string device_;
    std::vector<uint8_t> rx_;
    size_t rxPos_ = 0;
    bool hex_ = false;
    bool pace_ = false;
    bool strictBaud_ = false;
    uint32_t baud_ = 115200;
    std::vector<uint8_t>* capture_ = nullptr;
};

// Rate in baud of a baud code (0x31 9600 ... 0x35 115200); other values are rates.
uint32_t baud_rate(uint32_t code);

} // namespace sim
