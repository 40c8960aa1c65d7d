#include "platform/ui/dialog_template.h"

namespace qk::ui {

namespace {

constexpr uint32_t kSetFont = 0x40;     // DS_SETFONT
// No real dialog has more; a count beyond it is a damaged template.
constexpr uint16_t kMaxItems = 4096;

class Reader {
public:
    explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    bool Word(uint16_t* v) {
        if (at_ + 2 > bytes_.size()) return false;
        *v = static_cast<uint16_t>(bytes_[at_] | bytes_[at_ + 1] << 8);
        at_ += 2;
        return true;
    }
    bool Dword(uint32_t* v) {
        uint16_t lo, hi;
        if (!Word(&lo) || !Word(&hi)) return false;
        *v = lo | uint32_t{hi} << 16;
        return true;
    }
    bool Short(int16_t* v) {
        uint16_t w;
        if (!Word(&w)) return false;
        *v = static_cast<int16_t>(w);
        return true;
    }
    bool Byte(uint8_t* v) {
        if (at_ + 1 > bytes_.size()) return false;
        *v = bytes_[at_++];
        return true;
    }
    bool String(std::u16string* s) {
        s->clear();
        uint16_t c;
        while (true) {
            if (!Word(&c)) return false;
            if (c == 0) return true;
            s->push_back(static_cast<char16_t>(c));
        }
    }
    bool NameOrOrd(NameOrOrdinal* n) {
        uint16_t first;
        if (!Word(&first)) return false;
        *n = NameOrOrdinal{};
        if (first == 0) return true;
        n->present = true;
        if (first == 0xFFFF) {
            n->isOrdinal = true;
            return Word(&n->ordinal);
        }
        n->text.push_back(static_cast<char16_t>(first));
        std::u16string rest;
        if (!String(&rest)) return false;
        n->text += rest;
        return true;
    }
    bool AlignDword() {
        at_ = (at_ + 3) & ~size_t{3};
        return at_ <= bytes_.size();
    }
    bool Bytes(size_t n, std::vector<uint8_t>* out) {
        if (n > bytes_.size() - at_) return false;
        out->assign(bytes_.begin() + at_, bytes_.begin() + at_ + n);
        at_ += n;
        return true;
    }

private:
    std::span<const uint8_t> bytes_;
    size_t at_ = 0;
};

bool Fail(std::string* error, const char* why) {
    if (error) *error = why;
    return false;
}

}  // namespace

std::u16string PredefinedClassName(uint16_t ordinal) {
    switch (ordinal) {
        case 0x80: return u"Button";
        case 0x81: return u"Edit";
        case 0x82: return u"Static";
        case 0x83: return u"ListBox";
        case 0x84: return u"ScrollBar";
        case 0x85: return u"ComboBox";
        default: return u"";
    }
}

bool ParseDialogTemplate(std::span<const uint8_t> bytes, DialogTemplate* out, std::string* error) {
    Reader r(bytes);
    DialogTemplate t;
    uint16_t version = 0, signature = 0;
    if (bytes.size() >= 4) {
        version = static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
        signature = static_cast<uint16_t>(bytes[2] | bytes[3] << 8);
    }
    uint16_t count = 0;
    if (version == 1 && signature == 0xFFFF) {
        t.extended = true;
        uint16_t skip;
        if (!r.Word(&skip) || !r.Word(&skip) || !r.Dword(&t.helpId) || !r.Dword(&t.exStyle) || !r.Dword(&t.style)) {
            return Fail(error, "truncated extended dialog header");
        }
    } else if (!r.Dword(&t.style) || !r.Dword(&t.exStyle)) {
        return Fail(error, "truncated dialog header");
    }
    if (!r.Word(&count) || !r.Short(&t.x) || !r.Short(&t.y) || !r.Short(&t.cx) || !r.Short(&t.cy)) {
        return Fail(error, "truncated dialog header");
    }
    if (count > kMaxItems) return Fail(error, "too many dialog items");
    if (!r.NameOrOrd(&t.menu) || !r.NameOrOrd(&t.windowClass) || !r.String(&t.title)) {
        return Fail(error, "truncated dialog menu, class or title");
    }
    if (t.style & kSetFont) {
        t.hasFont = true;
        if (!r.Word(&t.pointSize)) return Fail(error, "truncated dialog font");
        if (t.extended) {
            uint8_t italic;
            if (!r.Word(&t.weight) || !r.Byte(&italic) || !r.Byte(&t.charSet)) return Fail(error, "truncated dialog font");
            t.italic = italic != 0;
        }
        if (!r.String(&t.face)) return Fail(error, "truncated dialog font face");
    }
    for (uint16_t i = 0; i < count; ++i) {
        DialogItem item;
        if (!r.AlignDword()) return Fail(error, "dialog item outside the template");
        bool ok;
        if (t.extended) {
            ok = r.Dword(&item.helpId) && r.Dword(&item.exStyle) && r.Dword(&item.style) && r.Short(&item.x) &&
                 r.Short(&item.y) && r.Short(&item.cx) && r.Short(&item.cy) && r.Dword(&item.id);
        } else {
            uint16_t id16 = 0;
            ok = r.Dword(&item.style) && r.Dword(&item.exStyle) && r.Short(&item.x) && r.Short(&item.y) &&
                 r.Short(&item.cx) && r.Short(&item.cy) && r.Word(&id16);
            item.id = id16;
        }
        if (!ok) return Fail(error, "truncated dialog item");
        if (!r.NameOrOrd(&item.windowClass) || !r.NameOrOrd(&item.title)) {
            return Fail(error, "truncated dialog item class or title");
        }
        if (!item.windowClass.present) return Fail(error, "dialog item without a class");
        uint16_t extra = 0;
        if (!r.Word(&extra)) return Fail(error, "truncated dialog item data");
        // The count includes the size word itself.
        const size_t dataBytes = extra >= 2 ? extra - 2 : 0;
        if (dataBytes && !r.Bytes(dataBytes, &item.creationData)) {
            return Fail(error, "dialog item data runs past the template");
        }
        t.items.push_back(std::move(item));
    }
    *out = std::move(t);
    return true;
}

}  // namespace qk::ui
