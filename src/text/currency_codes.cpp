// Currency signs, which ICU's transforms leave as they are (or spell
// loosely: "TL", "Rs"), written as their ISO 4217 codes: "20 €" -> "20 EUR".
// Kept by hand beside the generated table, and looked up before it. Only
// signs of one current currency; obsolete ones (₣ ₤ ₧ ₠) and the rupee
// sign ₨, which several currencies share, keep ICU's spelling; ¤ and ₿
// (no ISO code) stay unmapped.
#include "text/translit_table.h"

const CurrencyCode CurrencyCodes[] = {
    {0x00A2, "c"},    // ¢: a subunit, no code of its own; "99c" as price tags write it
    {0x00A3, "GBP"},  // £
    {0x00A5, "JPY"},  // ¥: the yen's (the yuan's sign too; "CNY" prices rarely use it alone)
    {0x20A1, "CRC"},  // ₡
    {0x20A6, "NGN"},  // ₦
    {0x20A9, "KRW"},  // ₩
    {0x20AA, "ILS"},  // ₪
    {0x20AB, "VND"},  // ₫
    {0x20AC, "EUR"},  // €
    {0x20AD, "LAK"},  // ₭
    {0x20AE, "MNT"},  // ₮
    {0x20B1, "PHP"},  // ₱
    {0x20B2, "PYG"},  // ₲
    {0x20B4, "UAH"},  // ₴
    {0x20B5, "GHS"},  // ₵
    {0x20B8, "KZT"},  // ₸
    {0x20B9, "INR"},  // ₹
    {0x20BA, "TRY"},  // ₺
    {0x20BC, "AZN"},  // ₼
    {0x20BD, "RUB"},  // ₽
    {0x20BE, "GEL"},  // ₾
    {0xFFE0, "c"},    // ￠ (full width)
    {0xFFE1, "GBP"},  // ￡ (full width)
    {0xFFE5, "JPY"},  // ￥ (full width)
};
const size_t CurrencyCodeCount = sizeof CurrencyCodes / sizeof CurrencyCodes[0];
