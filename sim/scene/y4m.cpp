#include "sim/scene/y4m.h"

#include <algorithm>
#include <charconv>

namespace qk::sim {
namespace {

constexpr size_t kMaxLine = 4096;

bool ParseInt(std::string_view text, int& value) {
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

bool ParseY4mHeader(std::string_view line, Y4mFormat& format, std::string& error) {
    constexpr std::string_view kSignature = "YUV4MPEG2";
    if (line.substr(0, kSignature.size()) != kSignature) {
        error = "not a YUV4MPEG2 file";
        return false;
    }
    format = Y4mFormat{};
    bool haveWidth = false, haveHeight = false;
    size_t at = kSignature.size();
    while (at < line.size()) {
        if (line[at] == ' ') {
            ++at;
            continue;
        }
        const size_t end = std::min(line.find(' ', at), line.size());
        const std::string_view token = line.substr(at, end - at);
        at = end;
        const std::string_view value = token.substr(1);
        switch (token[0]) {
        case 'W':
            haveWidth = ParseInt(value, format.width);
            break;
        case 'H':
            haveHeight = ParseInt(value, format.height);
            break;
        case 'F': {
            const size_t colon = value.find(':');
            if (colon == std::string_view::npos || !ParseInt(value.substr(0, colon), format.rateNumerator) ||
                !ParseInt(value.substr(colon + 1), format.rateDenominator) || format.rateNumerator <= 0 ||
                format.rateDenominator <= 0) {
                error = "bad frame rate '" + std::string(token) + "'";
                return false;
            }
            break;
        }
        case 'C':
            if (value != "420" && value != "420jpeg" && value != "420paldv" && value != "420mpeg2") {
                error = "colour space '" + std::string(value) + "' is not 4:2:0";
                return false;
            }
            break;
        case 'I':
        case 'A':
        case 'X':
            break;
        default:
            error = "unknown header field '" + std::string(token) + "'";
            return false;
        }
    }
    if (!haveWidth || !haveHeight) {
        error = "header without a valid width and height";
        return false;
    }
    if (format.width < 2 || format.height < 2 || format.width > kY4mMaxSide || format.height > kY4mMaxSide ||
        (format.width & 1) != 0 || (format.height & 1) != 0) {
        error = "picture size " + std::to_string(format.width) + "x" + std::to_string(format.height) +
                " not supported (even sides from 2 to " + std::to_string(kY4mMaxSide) + ")";
        return false;
    }
    return true;
}

bool Y4mReader::ReadLine(std::string& line, size_t limit) {
    line.clear();
    char c;
    while (in_.get(c)) {
        if (c == '\n') return true;
        if (line.size() >= limit) return false;
        line.push_back(c);
    }
    return false;
}

bool Y4mReader::Open() {
    std::string line;
    if (!ReadLine(line, kMaxLine)) {
        error_ = "no YUV4MPEG2 header";
        return false;
    }
    return ParseY4mHeader(line, format_, error_);
}

bool Y4mReader::Next(std::vector<uint8_t>& frame) {
    error_.clear();
    std::string line;
    if (!ReadLine(line, kMaxLine)) {
        if (!line.empty()) error_ = "truncated frame header";
        return false;
    }
    if (line.rfind("FRAME", 0) != 0 || (line.size() > 5 && line[5] != ' ')) {
        error_ = "expected FRAME";
        return false;
    }
    // Grown as the data arrives, so a header that promises a huge picture
    // costs memory only for bytes that are really there.
    const size_t need = format_.FrameBytes();
    constexpr size_t kChunk = size_t(1) << 20;
    frame.clear();
    while (frame.size() < need) {
        const size_t have = frame.size(), chunk = std::min(kChunk, need - have);
        frame.resize(have + chunk);
        in_.read(reinterpret_cast<char*>(frame.data() + have), std::streamsize(chunk));
        if (size_t(in_.gcount()) != chunk) {
            error_ = "truncated frame";
            return false;
        }
    }
    return true;
}

Y4mWriter::Y4mWriter(std::ostream& out, const Y4mFormat& format) : out_(out), frameBytes_(format.FrameBytes()) {
    out_ << "YUV4MPEG2 W" << format.width << " H" << format.height << " F" << format.rateNumerator << ':'
         << format.rateDenominator << " Ip A1:1 C420jpeg\n";
}

void Y4mWriter::Write(const uint8_t* frame) {
    out_ << "FRAME\n";
    out_.write(reinterpret_cast<const char*>(frame), std::streamsize(frameBytes_));
}

}  // namespace qk::sim
