#include "logged.h"

#include "app.h"

QDebug Logged::addPreamble(const QDebug &stream) const
{
    QDebug out = stream; // shares the stream's buffer
    const QString identifier = id();
    if (identifier.isEmpty())
        return out;
    out.noquote() << QStringLiteral("[%1]").arg(identifier);
    out.quote();
    return out;
}

QDebug Logged::trace(const QString &tag) const
{
    QDebug out = addPreamble(qDebug());
    out << "Dbg:";
    const QString extra = prefix();
    out.noquote();
    if (!extra.isEmpty())
        out << QStringLiteral("[%1]").arg(extra);
    if (!tag.isEmpty())
        out << QStringLiteral("[%1]").arg(tag);
    out.quote();
    return out;
}

void Logged::sendInfo(const QString &text) const
{
    if (auto *app = static_cast<App *>(QCoreApplication::instance()))
        app->sendMessage(text, id(), TextToGround::Info);
}

void Logged::sendError(const QString &text) const
{
    if (auto *app = static_cast<App *>(QCoreApplication::instance()))
        app->sendMessage(text, id(), TextToGround::Error);
}
