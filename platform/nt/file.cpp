// Files of the system root for kernel code (ZwCreateFile and friends). The
// drivers read a handful of small files (substitute pictures); paths are
// confined to the system root, whatever "..", links or case they carry.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "platform/nt/machine.h"
#include "platform/nt/object.h"
#include "platform/nt/thread_context.h"
#include "platform/nt/wformat.h"
#include "wdm.h"

namespace qk::nt {
namespace {

namespace fs = std::filesystem;

class HostFile : public KernelObject {
public:
    HostFile(std::FILE* file, bool writable) : file_(file), writable_(writable) {}
    ~HostFile() override { std::fclose(file_); }
    const char* TypeName() const override { return "File"; }
    std::FILE* Stream() { return file_; }
    bool Writable() const { return writable_; }
    std::mutex lock;  // guards the stream position across calls

private:
    std::FILE* file_;
    bool writable_;
};

bool StartsWithInsensitive(const std::u16string& s, std::u16string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (RtlUpcaseUnicodeChar(s[i]) != RtlUpcaseUnicodeChar(prefix[i])) return false;
    }
    return true;
}

// Maps a kernel file path to a host path inside the system root, or nothing.
// Each component is matched case-insensitively against what exists, as the
// target's file system does.
bool HostPath(const std::u16string& path, fs::path* out) {
    const fs::path root = Machine::Current().SystemRoot();
    std::u16string rest;
    fs::path base;
    if (StartsWithInsensitive(path, u"\\SystemRoot\\")) {
        base = root / "Windows";
        rest = path.substr(12);
    } else if (StartsWithInsensitive(path, u"\\??\\C:\\")) {
        base = root;
        rest = path.substr(7);
    } else if (StartsWithInsensitive(path, u"\\DosDevices\\C:\\")) {
        base = root;
        rest = path.substr(15);
    } else {
        return false;
    }
    fs::path result = base;
    size_t pos = 0;
    while (pos <= rest.size()) {
        size_t next = rest.find(u'\\', pos);
        if (next == std::u16string::npos) next = rest.size();
        std::u16string part = rest.substr(pos, next - pos);
        pos = next + 1;
        if (part.empty() || part == u".") continue;
        if (part == u"..") {
            // Never above the system root.
            if (result == root || result == base) return false;
            result = result.parent_path();
            continue;
        }
        if (part.find(u'/') != std::u16string::npos || part.find(u'\0') != std::u16string::npos) return false;
        std::string name = ToUtf8(part);
        fs::path candidate = result / name;
        std::error_code ec;
        if (!fs::exists(candidate, ec) && fs::is_directory(result, ec)) {
            for (auto& entry : fs::directory_iterator(result, ec)) {
                std::u16string have = ToUtf16(entry.path().filename().string());
                if (have.size() == part.size() && StartsWithInsensitive(have, part)) {
                    candidate = entry.path();
                    break;
                }
            }
        }
        result = candidate;
    }
    // Symbolic links in the root must not lead outside it.
    std::error_code ec;
    fs::path resolved = fs::weakly_canonical(result, ec);
    fs::path canonicalRoot = fs::weakly_canonical(root, ec);
    auto mismatch = std::mismatch(canonicalRoot.begin(), canonicalRoot.end(), resolved.begin(), resolved.end());
    if (mismatch.first != canonicalRoot.end()) return false;
    *out = result;
    return true;
}

}  // namespace
}  // namespace qk::nt

using qk::nt::HostFile;

NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                      PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                      ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength) {
    if (!qk::nt::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwCreateFile")) return STATUS_INVALID_DEVICE_STATE;
    if (FileHandle == nullptr || ObjectAttributes == nullptr || ObjectAttributes->ObjectName == nullptr ||
        IoStatusBlock == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const UNICODE_STRING* name = ObjectAttributes->ObjectName;
    std::u16string path(name->Buffer ? name->Buffer : u"", name->Buffer ? name->Length / 2 : 0);
    std::filesystem::path host;
    if (!qk::nt::HostPath(path, &host)) return STATUS_OBJECT_PATH_NOT_FOUND;
    std::error_code ec;
    bool exists = std::filesystem::exists(host, ec);
    if (exists && std::filesystem::is_directory(host, ec)) return STATUS_FILE_IS_A_DIRECTORY;
    bool write = (DesiredAccess & (GENERIC_WRITE | FILE_WRITE_DATA | GENERIC_ALL)) != 0;
    const char* mode = nullptr;
    ULONG_PTR information = FILE_OPENED;
    switch (CreateDisposition) {
        case FILE_OPEN:
            if (!exists) return STATUS_OBJECT_NAME_NOT_FOUND;
            mode = write ? "r+b" : "rb";
            break;
        case FILE_CREATE:
            if (exists) return STATUS_OBJECT_NAME_COLLISION;
            mode = "w+b";
            information = FILE_CREATED;
            break;
        case FILE_OPEN_IF:
            mode = exists ? (write ? "r+b" : "rb") : "w+b";
            information = exists ? FILE_OPENED : FILE_CREATED;
            break;
        case FILE_OVERWRITE:
            if (!exists) return STATUS_OBJECT_NAME_NOT_FOUND;
            mode = "w+b";
            information = FILE_OVERWRITTEN;
            break;
        case FILE_OVERWRITE_IF:
        case FILE_SUPERSEDE:
            mode = "w+b";
            information = exists ? FILE_OVERWRITTEN : FILE_CREATED;
            break;
        default:
            return STATUS_INVALID_PARAMETER;
    }
    if (mode[0] == 'w' && !write) return STATUS_ACCESS_DENIED;
    std::FILE* file = std::fopen(host.c_str(), mode);
    if (file == nullptr) return exists ? STATUS_ACCESS_DENIED : STATUS_OBJECT_PATH_NOT_FOUND;
    *FileHandle = qk::nt::InsertHandle(std::make_shared<HostFile>(file, write), DesiredAccess);
    IoStatusBlock->Status = STATUS_SUCCESS;
    IoStatusBlock->Information = information;
    return STATUS_SUCCESS;
}

NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key) {
    if (!qk::nt::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwReadFile")) return STATUS_INVALID_DEVICE_STATE;
    std::shared_ptr<HostFile> file;
    NTSTATUS status = qk::nt::LookupHandleAs(FileHandle, &file);
    if (!NT_SUCCESS(status)) return status;
    if (Buffer == nullptr && Length > 0) return STATUS_INVALID_PARAMETER;
    std::lock_guard guard(file->lock);
    if (ByteOffset != nullptr && ByteOffset->QuadPart >= 0 && std::fseek(file->Stream(), ByteOffset->QuadPart, SEEK_SET) != 0) {
        return STATUS_END_OF_FILE;
    }
    size_t n = Length ? std::fread(Buffer, 1, Length, file->Stream()) : 0;
    IoStatusBlock->Information = n;
    IoStatusBlock->Status = (n == 0 && Length > 0) ? STATUS_END_OF_FILE : STATUS_SUCCESS;
    return IoStatusBlock->Status;
}

NTSTATUS ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                     PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key) {
    if (!qk::nt::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwWriteFile")) return STATUS_INVALID_DEVICE_STATE;
    std::shared_ptr<HostFile> file;
    NTSTATUS status = qk::nt::LookupHandleAs(FileHandle, &file);
    if (!NT_SUCCESS(status)) return status;
    if (!file->Writable()) return STATUS_ACCESS_DENIED;
    std::lock_guard guard(file->lock);
    if (ByteOffset != nullptr && ByteOffset->QuadPart >= 0) std::fseek(file->Stream(), ByteOffset->QuadPart, SEEK_SET);
    size_t n = Length ? std::fwrite(Buffer, 1, Length, file->Stream()) : 0;
    std::fflush(file->Stream());
    IoStatusBlock->Information = n;
    IoStatusBlock->Status = n == Length ? STATUS_SUCCESS : STATUS_DISK_FULL;
    return IoStatusBlock->Status;
}

NTSTATUS ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                ULONG Length, FILE_INFORMATION_CLASS FileInformationClass) {
    if (!qk::nt::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwQueryInformationFile")) return STATUS_INVALID_DEVICE_STATE;
    std::shared_ptr<HostFile> file;
    NTSTATUS status = qk::nt::LookupHandleAs(FileHandle, &file);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard guard(file->lock);
    long position = std::ftell(file->Stream());
    switch (FileInformationClass) {
        case FileStandardInformation: {
            if (Length < sizeof(FILE_STANDARD_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
            std::fseek(file->Stream(), 0, SEEK_END);
            long size = std::ftell(file->Stream());
            std::fseek(file->Stream(), position, SEEK_SET);
            auto* info = static_cast<PFILE_STANDARD_INFORMATION>(FileInformation);
            *info = {};
            info->EndOfFile.QuadPart = size;
            info->AllocationSize.QuadPart = (size + 4095) & ~4095L;
            info->NumberOfLinks = 1;
            IoStatusBlock->Information = sizeof(FILE_STANDARD_INFORMATION);
            break;
        }
        case FilePositionInformation: {
            if (Length < sizeof(FILE_POSITION_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
            static_cast<PFILE_POSITION_INFORMATION>(FileInformation)->CurrentByteOffset.QuadPart = position;
            IoStatusBlock->Information = sizeof(FILE_POSITION_INFORMATION);
            break;
        }
        default:
            return STATUS_INVALID_INFO_CLASS;
    }
    IoStatusBlock->Status = STATUS_SUCCESS;
    return STATUS_SUCCESS;
}
