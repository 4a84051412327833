// The host's time zone set for the life of an object, for tests of local time.
#pragma once

#include <cstdlib>
#include <ctime>
#include <string>

namespace farend {

// The host's time zone for the life of the object.
class TimeZone {
public:
    explicit TimeZone(const char* tz) {
        if (const char* old = std::getenv("TZ")) saved_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~TimeZone() {
        if (saved_.empty())
            unsetenv("TZ");
        else
            setenv("TZ", saved_.c_str(), 1);
        tzset();
    }

private:
    std::string saved_;
};

} // namespace farend
