// Registry paths the deliverables share. Kernel paths start at \Registry;
// user-mode paths are relative to a predefined hive key.
#pragma once

namespace qk::paths {

inline constexpr char16_t kProductKeyUser[] = u"Software\\Lumora Tech\\Web Cameras\\QK0340";
inline constexpr char16_t kProductKeyKernel[] = u"\\Registry\\Machine\\Software\\Lumora Tech\\Web Cameras\\QK0340";
inline constexpr char16_t kProductKeyBaseKernel[] = u"\\Registry\\Machine\\Software\\Lumora Tech\\Web Cameras\\";
inline constexpr char16_t kConsoleKeyBaseKernel[] =
    u"\\Registry\\Machine\\Software\\Wow6432Node\\Lumora Tech\\Web Cameras\\";
inline constexpr char16_t kAudioFilterKeyKernel[] =
    u"\\Registry\\Machine\\Software\\Lumora Tech\\Web Cameras\\QK0340\\AudioFilter";
inline constexpr char16_t kArraySettingsKeyKernel[] = u"\\Registry\\Machine\\Software\\Halvard Electronics\\Driver\\Settings";
inline constexpr char16_t kArraySettingsKeyUser[] = u"Software\\Halvard Electronics\\Driver\\Settings";

}  // namespace qk::paths
