// The keep-alive that holds a waiting mail client while the session synchronizes: the
// held reply line goes out one character per clock tick, then (for a simple command)
// "X" characters, and the rest of the line at once when the wait is over. Only the
// bytes to send are worked out here; the session sends them and runs the clock.
#pragma once

#include <string>

class CSlowResponse {
public:
    // What one step sends to the client ("" for nothing) and its log line.
    struct SStep {
        std::string bytes;
        std::string log;
    };

    void Start(const std::string& text, bool extraCharacters);
    bool IsActive() const { return m_active; }
    // One clock tick.
    SStep Tick();
    // The end of the wait: whatever completes the line. Nothing when not active.
    SStep Finish();

private:
    std::string m_text;
    size_t m_position = 0;
    bool m_extraCharacters = false;
    bool m_active = false;
};
