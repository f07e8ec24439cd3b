// What the start-up hands to every block constructor; the block copies what it needs.
#pragma once

#include <QList>
#include <QString>

class Board;
class QuarixBlock;

struct BlockContext {
    QList<Board*>* boards = nullptr;          // the opened boards, in configuration order
    QList<QuarixBlock*>* blocks = nullptr;    // every block created so far; keeps growing
    QString full_path;                        // processing/<k>/filter_chain/<chain>/chain/<name>
    QString config_path;                      // the configuration file the server started from
    QString storage_path;                     // "storage" "file_path": every recorded file is made below it
};
