#include "core/application/chain_builder.h"

#include "blocks/common/config_limits.h"
#include "core/application/block_types.h"
#include "core/block_context.h"
#include "core/pin_input.h"
#include "core/pin_output.h"
#include "core/quarix_block.h"

#include <QDebug>
#include <QJsonArray>
#include <QRegularExpression>

namespace {
void refuseBlock(const QString& chain, const QString& block, const QString& problem)
{
    qCritical().noquote() << QStringLiteral("Configuration error in chain \"%1\", block \"%2\": %3").arg(chain, block, problem);
}
}  // namespace

ChainBuilder::ChainBuilder(QList<Board*>* boards, QList<QuarixBlock*>* blocks, const QString& configPath,
                           const QString& storagePath)
    : m_boards(boards), m_blocks(blocks), m_configPath(configPath), m_storagePath(storagePath)
{
}

bool ChainBuilder::buildAll(const QJsonObject& config)
{
    const QJsonArray processing = config.value(QLatin1String("processing")).toArray();
    for (int k = 0; k < processing.size(); ++k) {
        const QJsonArray chains = processing.at(k).toObject().value(QLatin1String("filter_chain")).toArray();
        for (const QJsonValue& chain : chains) {
            const QJsonObject chainObject = chain.toObject();
            if (!chainObject.value(QLatin1String("enable")).toBool(false))
                continue;
            if (!buildChain(k, chainObject))
                return false;
        }
    }
    return true;
}

bool ChainBuilder::buildChain(int processingIndex, const QJsonObject& chain)
{
    const QString chainName = chain.value(QLatin1String("name")).toString();
    const BlockFactory factory;
    const QJsonArray entries = chain.value(QLatin1String("chain")).toArray();
    for (const QJsonValue& value : entries) {
        if (m_blockLimit >= 0 && m_blocks->size() >= m_blockLimit)
            return false;
        const QJsonObject entry = value.toObject();
        const QString blockType = entry.value(QLatin1String("block_type")).toString();
        const QString blockName = entry.value(QLatin1String("name")).toString();
        const int64_t inputCount = config_limits::wholeNumber(entry.value(QLatin1String("input_count")), 0);
        const QJsonArray sources = entry.value(QLatin1String("sources")).toArray();

        BlockContext context;
        context.boards = m_boards;
        context.blocks = m_blocks;
        context.full_path = QStringLiteral("processing/%1/filter_chain/%2/chain/%3")
                                .arg(processingIndex)
                                .arg(chainName, blockName);
        context.config_path = m_configPath;
        context.storage_path = m_storagePath;

        // Clients and "sources" entries find blocks by name: a second block of
        // the same name could never be reached.
        if (!blockName.isEmpty() && QuarixBlock::findByName(*m_blocks, blockName)) {
            refuseBlock(chainName, blockName, QStringLiteral("key \"name\": another block is already named \"%1\"").arg(blockName));
            return false;
        }
        if (inputCount < 0 || inputCount > config_limits::kInputCount) {
            refuseBlock(chainName, blockName,
                        QStringLiteral("key \"input_count\": must be a whole number from 0 to %1 (got %2)")
                            .arg(config_limits::kInputCount)
                            .arg(entry.value(QLatin1String("input_count")).toVariant().toString()));
            return false;
        }

        QuarixBlock* block = factory.CreateBlock(nullptr, blockType, &context, value);
        if (!block) {
            refuseBlock(chainName, blockName, QStringLiteral("unknown block_type \"%1\"").arg(blockType));
            return false;
        }
        // Owned by the block list from here on, even if the entry is refused below.
        m_blocks->append(block);
        block->setChainPlace({chainName, processingIndex, entry.value(QLatin1String("data_type")).toString()});
        if (!block->configurationError().isEmpty()) {
            refuseBlock(chainName, blockName, block->configurationError());
            return false;
        }
        if (block->hasRole(BlockType::Role::Source))
            continue;

        for (int i = 0; i < inputCount; ++i) {
            if (i >= sources.size()) {
                refuseBlock(chainName, blockName,
                            QStringLiteral("\"input_count\" is %1 but \"sources\" has %2 entries")
                                .arg(inputCount)
                                .arg(sources.size()));
                return false;
            }
            if (i >= block->inputPins().size()) {
                refuseBlock(chainName, blockName,
                            QStringLiteral("\"input_count\" is %1 but the block has %2 inputs")
                                .arg(inputCount)
                                .arg(block->inputPins().size()));
                return false;
            }
            const QJsonObject source = sources.at(i).toObject();
            const QString upstreamName = source.value(QLatin1String("source")).toString();
            // Look only at the blocks created before this one.
            QuarixBlock* upstream = QuarixBlock::findByName(m_blocks->mid(0, m_blocks->size() - 1), upstreamName);
            if (!upstream) {
                refuseBlock(chainName, blockName,
                            QStringLiteral("\"sources\"[%1] names \"%2\", which is not a block created before it")
                                .arg(i)
                                .arg(upstreamName));
                return false;
            }
            // A pin is text holding a decimal number; anything else means pin 0.
            // A number too large for an integer is refused rather than read as 0.
            const QString pinText = source.value(QLatin1String("pin")).toString();
            bool pinFits = false;
            const int pin = pinText.toInt(&pinFits, 10);
            const bool tooLarge = !pinFits && QRegularExpression(QStringLiteral("^\\s*[+-]?[0-9]+\\s*$")).match(pinText).hasMatch();
            if (tooLarge || pin < 0 || pin >= upstream->outputPins().size()) {
                refuseBlock(chainName, blockName,
                            QStringLiteral("\"sources\"[%1] \"pin\" \"%2\" is not one of the %3 output pins of \"%4\"")
                                .arg(i)
                                .arg(pinText)
                                .arg(upstream->outputPins().size())
                                .arg(upstreamName));
                return false;
            }
            block->inputPins().at(i)->Connect(upstream->outputPins().at(pin));
        }
    }
    return true;
}

void ChainBuilder::shutDownInOrder(const QList<QuarixBlock*>& blocks)
{
    for (QuarixBlock* block : blocks) {
        if (block->hasRole(BlockType::Role::Source))
            block->shutdown();
    }
    for (QuarixBlock* block : blocks) {
        if (!block->hasRole(BlockType::Role::Source))
            block->shutdown();
    }
}
