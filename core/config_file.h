// Reading the JSON configuration file: at start-up, by the configuration
// watcher and by the commands block at every run start.
#pragma once

#include <QJsonObject>
#include <QString>

namespace config_file {

// The top-level object of the file. *parsed is false when the file cannot be
// read or holds no JSON document; a document that is not an object (an array,
// say) parses but gives an empty object.
QJsonObject read(const QString& path, bool* parsed = nullptr);

}  // namespace config_file
