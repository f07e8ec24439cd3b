// What the server knows of a block type, one descriptor per type: its name in
// the configuration ("block_type"), how it is created, how clients reach its
// blocks and its part in a recorded run. The application keeps the table of
// all types; the start-up, the WebSocket server and the commands block read
// the descriptor a block carries instead of comparing type names.
#pragma once

class QJsonValue;
class QObject;
class QuarixBlock;
struct BlockContext;

struct BlockType {
    // How a client addresses a block of this type: by its "name", by its full
    // path, by both, or not at all (its blocks answer only through others).
    enum Reach : unsigned { Unreachable = 0, ByName = 1, ByFullPath = 2 };
    enum class Role {
        Processing,   // takes payloads in, hands payloads on or accumulates them
        Source,       // reads a board endpoint; started and stopped with the run's sources
        Writer,       // records files: driven through RecordingControl by the commands block
        HighVoltage,  // a high-voltage board: switched on and off with all the others
        Control,      // answers clients only (the commands block)
    };
    using Create = QuarixBlock* (*)(QObject* parent, BlockContext* context, const QJsonValue& entry);

    const char* name;
    unsigned reach;
    Role role;
    Create create;   // null for a type the start-up makes itself (the commands block)

    bool reachableByName() const { return (reach & ByName) != 0; }
    bool reachableByFullPath() const { return (reach & ByFullPath) != 0; }
};
