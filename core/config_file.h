// Reading the JSON configuration file: at start-up, by the configuration
// watcher and by the commands block at every run start.
#pragma once

#include <QJsonObject>
#include <QString>

namespace config_file {

// The top-level object of the file. *parsed is false when the file cannot be
// read, holds no JSON document or holds one whose top level is not an object;
// *problem then says which, with the byte offset of a syntax error.
QJsonObject read(const QString& path, bool* parsed = nullptr, QString* problem = nullptr);

}  // namespace config_file
