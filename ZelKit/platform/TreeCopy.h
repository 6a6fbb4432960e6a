#pragma once

#include <QString>

#include <optional>

// Copies a file tree to a place where nothing exists yet, all or nothing: the copy is
// built in a hidden sibling of the target and renamed into place only when complete.
class TreeCopy
{
public:
    TreeCopy() = delete;

    // Copies a folder with its whole contents, or a single file: directories, regular
    // files (with permissions and modification times) and symbolic links as links inside;
    // sockets, pipes and devices are not data and are left out, a source that is one
    // included. Returns what went wrong, nothing on success. On failure nothing is left
    // behind and an existing target is never touched.
    static std::optional<QString> copyToNewPath(const QString &source, const QString &target);
};
