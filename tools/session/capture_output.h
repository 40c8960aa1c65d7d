// Where captured samples go: a video file (YUV4MPEG2 for the uncompressed
// formats, concatenated JPEG frames for MJPG) and a PNG contact sheet of a
// few frames spread over the run.
//
// Y4M colour spaces, chosen so that no sample loses anything the container
// can hold (all BT.601, limited range, as the camera's YUY2):
//   YUY2  -> C422 (planes split out of the packed pairs, lossless)
//   RGB24 -> C444 (each pixel converted; the bottom-up lines put top first)
//   I420  -> C420jpeg (copied)
//   YV12  -> C420jpeg (V and U planes swapped into Y4M's order)
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "tools/session/negotiation.h"

namespace qk::session {

// The bytes a picture of the format takes in a sample (RGB24 lines padded to
// 4 bytes; 0 for MJPG, whose frames vary).
uint64_t PictureBytes(PixelFormat format, int width, int height);

// An RGB picture (R, G, B bytes, first line at the top).
struct RgbPicture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
};

// Turns one sample of the connection format into RGB for people to look at.
// `height` is biHeight: positive RGB24 samples are bottom-up. False with a
// message for a sample too short for its picture or a JPEG that does not decode.
bool SampleToRgb(const ConnectionFormat& format, std::span<const uint8_t> sample, RgbPicture* picture,
                 std::string* error);

class VideoWriter {
public:
    // Creates the file and writes the Y4M stream header (raw formats).
    static std::unique_ptr<VideoWriter> Create(const std::filesystem::path& path, const ConnectionFormat& format,
                                               std::string* error);
    // The same into an open file descriptor (standard output in a pipe),
    // which the writer closes; `name` stands for it in messages.
    static std::unique_ptr<VideoWriter> CreateOnDescriptor(int descriptor, const std::string& name,
                                                           const ConnectionFormat& format, std::string* error);
    ~VideoWriter();
    // Appends one sample as a frame; false with a message (and nothing
    // written) for a sample that does not hold a picture of the format.
    bool Write(std::span<const uint8_t> sample, std::string* error);
    // Flushes and closes; false when anything failed to reach the file.
    bool Close(std::string* error);

    // The file could not take what was written (disk full, removed): stop writing.
    bool Broken() const { return !*out_; }
    uint64_t Frames() const { return frames_; }
    uint64_t FileBytes() const { return bytes_; }
    // "Y4M 4:2:2 (C422)", "MJPEG (concatenated JPEG frames)".
    std::string Kind() const;

    // "F30:1", "F15:2", "F30000:1001": the Y4M rate of a frame interval.
    static std::string Y4mRate(int64_t interval100ns);

private:
    VideoWriter() = default;
    bool WriteHeader(std::string* error);
    std::string name_;  // the file's path, or what stands for a descriptor
    ConnectionFormat format_;
    std::unique_ptr<std::streambuf> descriptorBuffer_;  // set when writing to a descriptor
    std::unique_ptr<std::ostream> out_;
    std::vector<uint8_t> frame_;  // one Y4M frame being assembled
    uint64_t frames_ = 0;
    uint64_t bytes_ = 0;
};

// A grid of small pictures of frames spread evenly over the run, each with
// its frame number and time, written as PNG.
class ContactSheet {
public:
    // `expectedFrames` is how many frames the run should deliver; the sheet
    // takes `pictures` of them, evenly spaced, the first and the last included.
    // With 0 the length is not known (a stream that runs until its input
    // ends): the sheet keeps every frame at a stride it doubles as frames
    // come, so it holds between `pictures` and twice as many, and the caller
    // adds the last frame when the run is over.
    ContactSheet(uint64_t expectedFrames, int pictures = 12, int columns = 4, int thumbnailWidth = 160);
    // Whether frame `number` (counted from 0 among delivered frames) is one to keep.
    bool Wants(uint64_t number) const;
    void Add(uint64_t number, double seconds, const RgbPicture& picture);
    bool Has(uint64_t number) const;
    // The pictures the sheet shows.
    size_t Count() const { return Chosen().size(); }
    bool Write(const std::filesystem::path& path, std::string* error) const;

private:
    struct Thumbnail {
        uint64_t number;
        double seconds;
        RgbPicture picture;
    };
    std::vector<const Thumbnail*> Chosen() const;
    std::vector<uint64_t> wanted_;
    bool openEnded_ = false;
    uint64_t stride_ = 1;  // open-ended: the frames kept are multiples of it
    int pictures_;
    int columns_;
    int thumbnailWidth_;
    std::vector<Thumbnail> thumbnails_;  // in frame order
};

// Box-filtered downscale to `width` (the height keeps the aspect ratio).
RgbPicture Shrink(const RgbPicture& picture, int width);

}  // namespace qk::session
