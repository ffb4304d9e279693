#pragma once
// Programs that a test runs as another user. A test running as root runs some programs as nobody
// instead (tshark: Wireshark 4.2 on runs no user's Lua script for root). Such a program reads
// only what nobody may read, and the tree may lie under a folder closed to others (a clone in
// /root, mode 0700): so every file handed to it is first copied into a private temporary folder
// made for that user. Tests that include this header run in CI from a tree under /root too
// (label another-user). Not root: the programs run as the test's own user, and files are used
// where they are.

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

class OtherUser
{
public:
    OtherUser();

    // A path of `file` that the user can read (a copy in its folder, read-only), or an empty
    // string after a test failure that says why.
    QString hand(const QString &file);
    // The command line that runs `programAndArguments` as the user.
    QStringList command(const QStringList &programAndArguments) const;

private:
    bool root;
    std::unique_ptr<QTemporaryDir> folder;  // made at the first file handed over
};
