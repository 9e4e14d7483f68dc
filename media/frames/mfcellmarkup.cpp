#include "mfcellmarkup.h"

#include "mfresult.h"

#include <QRegularExpression>

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace {

QString attributeValue(const QString &attributes, const QString &name) {
    const QRegularExpression re(
        QStringLiteral("(?:^|\\s)%1\\s*=\\s*(?:'([^']*)'|\"([^\"]*)\"|(\\S+))").arg(QRegularExpression::escape(name)));
    const QRegularExpressionMatch m = re.match(attributes);
    if (!m.hasMatch())
        return QString();
    for (int i = 1; i <= 3; ++i)
        if (m.capturedStart(i) >= 0)
            return m.captured(i);
    return QString();
}

MFCell makeCell(int characters, const QString &tagAttributes, const QString &defaults) {
    MFCell cell;
    cell.characters = characters;
    QString colour = attributeValue(tagAttributes, QStringLiteral("bg-color"));
    if (colour.isEmpty())
        colour = attributeValue(defaults, QStringLiteral("bg-color"));
    if (!colour.isEmpty())
        cell.filled = mfParseColor(colour, &cell.red, &cell.green, &cell.blue);
    return cell;
}

uint8_t clip8(double v) {
    return uint8_t(std::clamp(std::lround(v), 0L, 255L));
}

} // namespace

bool mfParseColor(const QString &text, uint8_t *red, uint8_t *green, uint8_t *blue) {
    struct Named {
        const char *name;
        uint32_t rgb;
    };
    static const Named names[] = {{"black", 0x000000},  {"white", 0xFFFFFF}, {"red", 0xFF0000},
                                  {"green", 0x008000},  {"lime", 0x00FF00},  {"blue", 0x0000FF},
                                  {"yellow", 0xFFFF00}, {"cyan", 0x00FFFF},  {"magenta", 0xFF00FF},
                                  {"gray", 0x808080},   {"grey", 0x808080},  {"orange", 0xFFA500}};
    const QString t = text.trimmed().toLower();
    uint32_t rgb = 0;
    bool found = false;
    for (const Named &n : names)
        if (t == QLatin1String(n.name)) {
            rgb = n.rgb;
            found = true;
        }
    if (!found && t.startsWith(QLatin1Char('#'))) {
        bool ok = false;
        const uint32_t v = t.mid(1).toUInt(&ok, 16);
        if (ok && t.size() == 7) {
            rgb = v;
            found = true;
        } else if (ok && t.size() == 4) {
            rgb = ((v >> 8) & 0xF) * 0x110000 + ((v >> 4) & 0xF) * 0x1100 + (v & 0xF) * 0x11;
            found = true;
        }
    }
    if (!found)
        return false;
    *red = uint8_t(rgb >> 16);
    *green = uint8_t(rgb >> 8);
    *blue = uint8_t(rgb);
    return true;
}

QVector<MFCell> mfParseCellMarkup(const QString &markup, const QString &attributes) {
    QVector<MFCell> cells;
    static const QRegularExpression tag(QStringLiteral("<text(\\s[^>]*)?>(.*?)</text\\s*>"),
                                        QRegularExpression::DotMatchesEverythingOption);
    int position = 0;
    QRegularExpressionMatchIterator it = tag.globalMatch(markup);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        if (m.capturedStart() > position)
            cells.append(makeCell(m.capturedStart() - position, QString(), attributes));
        cells.append(makeCell(m.capturedLength(2), m.captured(1), attributes));
        position = m.capturedEnd();
    }
    if (position < markup.size())
        cells.append(makeCell(markup.size() - position, QString(), attributes));
    return cells;
}

int mfFillRect(AVFrame *frame, int x, int y, int width, int height, uint8_t red, uint8_t green, uint8_t blue) {
    if (!frame || !frame->data[0])
        return MF_E_INVALIDARG;
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
    if (!desc || (desc->flags & (AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_HWACCEL)) ||
        desc->nb_components < 3)
        return MF_E_UNSUPPORTED;
    for (int c = 0; c < desc->nb_components; ++c)
        if (desc->comp[c].depth != 8 || desc->comp[c].shift != 0)
            return MF_E_UNSUPPORTED;
    const int x0 = std::max(0, x), y0 = std::max(0, y);
    const int x1 = std::min(frame->width, x + width), y1 = std::min(frame->height, y + height);
    if (x0 >= x1 || y0 >= y1)
        return MF_OK;

    const bool rgb = desc->flags & AV_PIX_FMT_FLAG_RGB;
    uint8_t value[4];
    if (rgb) {
        value[0] = red;
        value[1] = green;
        value[2] = blue;
    } else {
        // BT.601 limited range: the range encoders and the preview assume for these pictures.
        value[0] = clip8(16.0 + 0.257 * red + 0.504 * green + 0.098 * blue);
        value[1] = clip8(128.0 - 0.148 * red - 0.291 * green + 0.439 * blue);
        value[2] = clip8(128.0 + 0.439 * red - 0.368 * green - 0.071 * blue);
    }
    value[3] = 255;
    for (int c = 0; c < desc->nb_components; ++c) {
        const AVComponentDescriptor &comp = desc->comp[c];
        const bool chroma = !rgb && (c == 1 || c == 2);
        const int sx = chroma ? desc->log2_chroma_w : 0;
        const int sy = chroma ? desc->log2_chroma_h : 0;
        // Rows and columns of this component that the rectangle touches.
        const int cx0 = x0 >> sx, cx1 = (x1 + (1 << sx) - 1) >> sx;
        const int cy0 = y0 >> sy, cy1 = (y1 + (1 << sy) - 1) >> sy;
        for (int row = cy0; row < cy1; ++row) {
            uint8_t *line = frame->data[comp.plane] + int64_t(row) * frame->linesize[comp.plane] + comp.offset;
            for (int col = cx0; col < cx1; ++col)
                line[col * comp.step] = value[c];
        }
    }
    return MF_OK;
}
