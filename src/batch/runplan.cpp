#include "batch/runplan.h"

#include "wav/results/resultfiles.h"

#include <QFileInfo>
#include <QHash>

std::vector<QString> coincidingResults(const QStringList &paths, const BatchOptions &options,
                                       std::vector<QString> refused)
{
    refused.resize(std::size_t(paths.size()));
    QHash<QString, int> resultOf;
    QHash<QString, int> inputOf;
    for (int i = 0; i < paths.size(); ++i) {
        // Devices and the like are refused by each job on its own; only
        // regular files and names still free can coincide.
        QStringList keys;
        for (const QString &name : batchResultNames(paths[i], options))
            if (!QFileInfo::exists(name) || resultfiles::isRegular(name))
                keys << resultfiles::identity(name);
        const bool plain = !QFileInfo::exists(paths[i]) || resultfiles::isRegular(paths[i]);
        const QString input = plain ? resultfiles::identity(paths[i]) : QString();
        QString &why = refused[std::size_t(i)];
        if (!why.isEmpty())
            continue;
        for (const QString &key : keys) {
            if (why.isEmpty() && resultOf.contains(key))
                why = QStringLiteral("Same result names as %1").arg(paths[resultOf[key]]);
            if (why.isEmpty() && inputOf.contains(key))
                why = QStringLiteral("Its results would replace %1").arg(paths[inputOf[key]]);
        }
        if (why.isEmpty() && !input.isEmpty() && resultOf.contains(input))
            why = QStringLiteral("It is a result of %1").arg(paths[resultOf[input]]);
        if (!why.isEmpty())
            continue;
        for (const QString &key : keys)
            resultOf.insert(key, i);
        if (!input.isEmpty())
            inputOf.insert(input, i);
    }
    return refused;
}

namespace {

/// Why one of the results of `path` is refused for being a link to one of
/// `inputs` (the list, the template, every recording of the command),
/// naming the link; empty otherwise.
QString linkToInput(const QString &path, const QStringList &inputs, const BatchOptions &options)
{
    for (const QString &name : batchResultNames(path, options)) {
        if (!QFileInfo(name).isSymLink() || !resultfiles::isRegular(name))
            continue;
        const QString refusal = resultfiles::refusal(name, inputs);
        if (!refusal.isEmpty())
            return refusal;
    }
    return QString();
}

} // namespace

RunPlan planRun(const BatchCommand &command)
{
    const QStringList inputs = QStringList{command.listFile, command.options.marker}
                               + command.paths;
    RunPlan plan;
    // A result that is a link to an input is refused first, so that the
    // input it names still runs.
    std::vector<QString> linked;
    for (const QString &path : command.paths)
        linked.push_back(linkToInput(path, inputs, command.options));
    const std::vector<QString> refusedInList =
        coincidingResults(command.paths, command.options, linked);
    for (int i = command.shard.index; i < command.paths.size(); i += command.shard.count)
        plan.refused.push_back(refusedInList[std::size_t(i)]);
    plan.paths = shardOf(command.paths, command.shard);
    for (int i = 0; i < plan.paths.size(); ++i) {
        QString &why = plan.refused[std::size_t(i)];
        if (command.undecodable.contains(plan.paths[i]))
            why = QStringLiteral("Could not read %1: not a valid file name here")
                      .arg(command.undecodable[plan.paths[i]]);
        if (!why.isEmpty())
            continue;
        for (const QString &name : batchResultNames(plan.paths[i], command.options))
            if (resultfiles::refusal(name, {}).isEmpty())
                plan.written << name;
    }
    return plan;
}
