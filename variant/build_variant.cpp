#include "variant/build_variant.h"

namespace telvar {

const build_variant& variant_v20()
{
    static const build_variant v{
        QStringLiteral("V2.0"),
        QStringLiteral("蓝岸电子-Telvar十六路无线继电器V2.0  www.lanan.example.com"), false};
    return v;
}

const build_variant& variant_v11()
{
    static const build_variant v{
        QStringLiteral("V1.1"),
        QStringLiteral("青桥科技—Telvar遥控开关板V1.1  www.qingqiao.example.net"), true};
    return v;
}

QString program_title()
{
    return QStringLiteral("Telvar");
}

QString dialog_caption()
{
    return QStringLiteral("Telvar无线模块参数设置");
}

} // namespace telvar
