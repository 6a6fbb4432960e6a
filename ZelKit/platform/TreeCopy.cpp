#include "TreeCopy.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include <fcntl.h>

namespace fs = std::filesystem;

namespace {

QString describe(const char *action, const fs::path &path, const std::error_code &error)
{
    return QStringLiteral("cannot %1 %2: %3")
        .arg(QLatin1String(action), QFile::decodeName(path.c_str()),
             QString::fromLocal8Bit(error.message()));
}

std::optional<QString> copyEntry(const fs::path &from, const fs::path &to, fs::file_status status);

std::optional<QString> copyModificationTime(const fs::path &from, const fs::path &to)
{
    std::error_code error;
    const auto modified = fs::last_write_time(from, error);
    if (!error)
        fs::last_write_time(to, modified, error);
    return std::nullopt;
}

// Fills the existing folder to with the contents of from, then gives it from's
// permissions and time: last, so that a read-only folder still receives its contents.
std::optional<QString> copyFolderContents(const fs::path &from, const fs::path &to,
                                          fs::file_status status)
{
    std::error_code error;
    fs::directory_iterator it(from, error);
    if (error)
        return describe("read the folder", from, error);
    for (; it != fs::directory_iterator(); it.increment(error)) {
        const fs::file_status childStatus = it->symlink_status(error);
        if (error)
            return describe("examine", it->path(), error);
        if (auto failure = copyEntry(it->path(), to / it->path().filename(), childStatus))
            return failure;
    }
    if (error)
        return describe("read the folder", from, error);
    fs::permissions(to, status.permissions(), error);
    const auto modified = fs::last_write_time(from, error);
    if (!error)
        fs::last_write_time(to, modified, error);
    return std::nullopt;
}

std::optional<QString> copyEntry(const fs::path &from, const fs::path &to, fs::file_status status)
{
    std::error_code error;
    if (fs::is_symlink(status)) {
        fs::copy_symlink(from, to, error);
        if (error)
            return describe("copy the link", from, error);
        return std::nullopt;
    }
    if (fs::is_regular_file(status)) {
        fs::copy_file(from, to, fs::copy_options::none, error);
        if (error)
            return describe("copy", from, error);
        return copyModificationTime(from, to);
    }
    if (!fs::is_directory(status))
        return std::nullopt;
    fs::create_directory(to, error);
    if (error)
        return describe("create", to, error);
    return copyFolderContents(from, to, status);
}

// A copied read-only folder would keep its own contents from being removed.
void removePartialCopy(const fs::path &staging)
{
    std::error_code error;
    fs::permissions(staging, fs::perms::owner_all, fs::perm_options::add, error);
    for (fs::recursive_directory_iterator it(staging, error), end; !error && it != end;
         it.increment(error)) {
        if (it->is_directory(error) && !it->is_symlink(error))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
    }
    fs::remove_all(staging, error);
}

// A hidden sibling of to, made here and exclusively so that a failure never removes
// anything this call did not make: an empty folder, or already the copy of the file.
std::optional<QString> createStaging(const fs::path &from, const fs::path &to, bool folder,
                                     fs::path &staging)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate =
            to.parent_path() /
            ("." + to.filename().string() + ".partial-" +
             QByteArray::number(QRandomGenerator::global()->generate(), 36).toStdString());
        std::error_code error;
        const bool made = folder ? fs::create_directory(candidate, error)
                                 : fs::copy_file(from, candidate, fs::copy_options::none, error);
        if (made) {
            staging = candidate;
            return std::nullopt;
        }
        if (error == std::errc::file_exists || (!error && folder))
            continue;
        if (folder)
            return describe("create a folder beside", to, error);
        std::error_code ignored;
        fs::remove(candidate, ignored);
        return describe("copy", from, error);
    }
    return describe("create a folder beside", to, std::make_error_code(std::errc::file_exists));
}

} // namespace

std::optional<QString> TreeCopy::copyToNewPath(const QString &source, const QString &target)
{
    const fs::path from(QFile::encodeName(source).toStdString());
    const fs::path to(QFile::encodeName(target).toStdString());
    std::error_code error;
    // The source itself may be reached through a link; what it points to is copied.
    const fs::file_status status = fs::status(from, error);
    if (error)
        return describe("examine", from, error);
    const bool folder = fs::is_directory(status);
    if (!folder && !fs::is_regular_file(status))
        return std::nullopt;

    fs::path staging;
    if (auto failure = createStaging(from, to, folder, staging))
        return failure;
    std::optional<QString> failure =
        folder ? copyFolderContents(from, staging, status) : copyModificationTime(from, staging);
    if (!failure) {
        // Never replace what appeared at the target meanwhile, not even an empty folder
        // (a plain rename would).
        const int renamed =
            ::renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
        const int renameError = renamed == 0 ? 0 : errno;
        if (renameError == EINVAL || renameError == ENOSYS) {
            // Some file systems know no RENAME_NOREPLACE: look first, then rename.
            if (fs::exists(fs::symlink_status(to, error)))
                failure =
                    describe("move the copy to", to, std::make_error_code(std::errc::file_exists));
            else if (fs::rename(staging, to, error); error)
                failure = describe("move the copy to", to, error);
        } else if (renameError != 0) {
            failure = describe("move the copy to", to,
                               std::error_code(renameError, std::generic_category()));
        }
    }
    if (failure)
        removePartialCopy(staging);
    return failure;
}
