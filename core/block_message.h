// The two shapes of client messages, and the replies many blocks share.
//
// Single command (blocks addressed by name):   {"cmd": "set_dump_type", "file_type": "CSV"}
// Argument list (blocks addressed by path):    {"path": "...", "args": [{"cmd": "get_data"}, {"channels": [0, 2]}]}
// In an argument list every element is scanned in order, a later key
// overriding an earlier one.
#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

namespace block_message {

// The message's top-level object; text that is not a JSON object gives an empty one.
QJsonObject parse(const QString& data_in);

// Whether some object of the JSON text names one key twice (keys compared
// after their escapes are decoded). Qt's parser loses memory on such a text
// when the first value is an array or object, so client messages are checked
// with this before they are parsed. Malformed text may answer either way:
// the parser refuses it afterwards.
bool hasDuplicateKey(const QString& json);

// The "args" array of a message (empty when absent or not an array).
QJsonArray args(const QJsonObject& message);

// The string value of `key` in the last element of "args" that has it as a string.
QString lastString(const QJsonArray& args, const QString& key);

// The top-level "cmd" string of a single-command message.
QString command(const QJsonObject& message);

// Replies shared by many blocks.
extern const char* const kTrue;          // [{"response": true}]
extern const char* const kStatusFreerun; // [{"response": true, "status":"freerun"}]
extern const char* const kStatusIdle;    // [{"response": true, "status":"idle"}]

}  // namespace block_message
