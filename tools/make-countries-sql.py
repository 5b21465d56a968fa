#!/usr/bin/python3
"""Writes res/countries.sql, the SQL text of the country library.

    tools/make-countries-sql.py [OUT.sql]

Run it by hand when the numbering data should be refreshed, and commit the
SQL text it writes; the build turns that text into countries.db.

Sources (Debian packages):
  python3-phonenumbers  calling code, national number lengths, national
                        prefixes, mobile pattern, number formats, the
                        international dialling prefix, localised names
  iso-codes             English country names and their translations

A few rows are fixed by hand (FIXED_ROWS): their first eight columns stay as
they are whatever the metadata says, since stored numbers were canonicalised
with them. The MCC table (MCC_TABLE) is fixed as well.
"""
import gettext
import json
import os
import re
import sys

from phonenumbers import PhoneMetadata
from phonenumbers.geodata.locale import LOCALE_DATA

COUNTRIES = """AC AD AE AF AG AI AL AM AO AR AS AT AU AW AX AZ BA BB BD BE BF BG BH BI
BJ BL BM BN BO BQ BR BS BT BW BY BZ CA CC CD CF CG CH CI CK CL CM CN CO CR CU
CV CW CX CY CZ DE DJ DK DM DO DZ EC EE EG ER ES ET FI FJ FK FM FO FR GA GB GD
GE GF GG GH GI GL GM GN GP GQ GR GT GU GW GY HK HN HR HT HU ID IE IL IM IN IO
IQ IR IS IT JE JM JO JP KE KG KH KI KM KN KP KR KW KY KZ LA LB LC LI LK LR LS
LT LU LV LY MA MC MD ME MF MG MH MK ML MM MN MO MP MQ MR MS MT MU MV MW MX MY
MZ NA NC NE NF NG NI NL NO NP NR NU NZ OM PA PE PF PG PH PK PL PM PR PS PT PW
PY QA RE RO RS RU RW SA SB SC SD SE SG SH SI SJ SK SL SM SN SO SR SS ST SV SX
SY SZ TC TD TG TH TJ TK TL TM TN TO TR TT TV TW TZ UA UG US UY UZ VA VC VE VG
VI VN VU WF WS YE YT ZA ZM ZW""".split()

# Which country each mobile country code belongs to.
MCC_TABLE = """202 GR; 204 NL; 206 BE; 208 FR; 212 MC; 213 AD; 214 ES; 216 HU; 218 BA;
219 HR; 220 RS; 222 IT; 225 VA; 226 RO; 228 CH; 230 CZ; 231 SK; 232 AT;
234/235 GB; 238 DK; 240 SE; 242 NO; 244 FI; 246 LT; 247 LV; 248 EE; 250 RU;
255 UA; 257 BY; 259 MD; 260 PL; 262 DE; 266 GI; 268 PT; 270 LU; 272 IE;
274 IS; 276 AL; 278 MT; 280 CY; 282 GE; 283 AM; 284 BG; 286 TR; 288 FO;
290 GL; 292 SM; 293 SI; 294 MK; 295 LI; 297 ME; 302 CA; 308 PM;
310/311/312/313/314/315/316 US; 330 PR; 332 VI; 334 MX; 338 JM; 340 GP;
342 BB; 344 AG; 346 KY; 348 VG; 350 BM; 352 GD; 354 MS; 356 KN; 358 LC;
360 VC; 362 BQ; 363 AW; 364 BS; 365 AI; 366 DM; 368 CU; 370 DO; 372 HT;
374 TT; 376 TC; 400 AZ; 401 KZ; 402 BT; 404/405 IN; 410 PK; 412 AF; 413 LK;
414 MM; 415 LB; 416 JO; 417 SY; 418 IQ; 419 KW; 420 SA; 421 YE; 422 OM;
423 PS; 424/430/431 AE; 425 IL; 426 BH; 427 QA; 428 MN; 429 NP; 432 IR;
434 UZ; 436 TJ; 437 KG; 438 TM; 440/441 JP; 450 KR; 452 VN; 454 HK; 455 MO;
456 KH; 457 LA; 460 CN; 466 TW; 467 KP; 470 BD; 472 MV; 502 MY; 505 AU;
510 ID; 514 TL; 515 PH; 520 TH; 525 SG; 528 BN; 530 NZ; 534 MP; 535 GU;
536 NR; 537 PG; 539 TO; 540 SB; 541 VU; 542 FJ; 543 WF; 544 AS; 545 KI;
546 NC; 547 PF; 548 CK; 549 WS; 550 FM; 551 MH; 552 PW; 553 NU; 602 EG;
603 DZ; 604 MA; 605 TN; 606 LY; 607 GM; 608 SN; 609 MR; 610 ML; 611 GN;
612 CI; 613 BF; 614 NE; 615 TG; 616 BJ; 617 MU; 618 LR; 619 SL; 620 GH;
621 NG; 622 TD; 623 CF; 624 CM; 625 CV; 626 ST; 627 GQ; 628 GA; 629 CG;
630 CD; 631 AO; 632 GW; 633 SC; 634 SD; 635 RW; 636 ET; 637 SO; 638 DJ;
639 KE; 640 TZ; 641 UG; 642 BI; 643 MZ; 645 ZM; 646 MG; 647 RE; 648 ZW;
649 NA; 650 MW; 651 LS; 652 BW; 653 SZ; 654 YT; 655 ZA; 657 ER; 659 SS;
702 BZ; 704 GT; 706 SV; 708 HN; 710 NI; 712 CR; 714 PA; 716 PE; 722 AR;
724 BR; 730 CL; 732 CO; 734 VE; 736 BO; 738 GY; 740 EC; 742 GF; 744 PY;
746 SR; 748 UY; 750 FK; 999 AX"""

# sn: (n, ln, pnum, mmc, numc, u2, r1); None takes the value from the sources.
FIXED_ROWS = {
    "RU": ("Russia", "Россия", "7", "250", "10", "0,8", r"9\d{9}"),
    "TW": ("Taiwan", "台灣", "886", "466", "9", "0", r"9\d{8}"),
    "IN": ("India", "India", "91", "404,405", "10", "0", r"[7-9]\d{9}"),
    "CN": ("China", "中国", "86", "460", "11", "0",
           r"1(?:3\d|4[57]|[58][0-35-9])\d{8}|184\d{8}"),
    "US": ("United States", "United States", "1",
           "310,311,312,313,314,315,316", "10", "0,1", None),
    "DE": ("Germany", "Deutschland", "49", "262", "7,8,9,10,11,12", "0", None),
    "AC": ("Ascension Island", "Ascension Island", "247", "999", "4", "0", ""),
}

# The language a country's own name is written in; countries not listed
# use their English name (ET too: the iso-codes Amharic names are garbled).
LANGUAGE = dict(x.split(":") for x in """
AD:ca AE:ar AF:ps AL:sq AM:hy AO:pt AR:es AT:de AW:nl AX:sv AZ:az BA:bs BD:bn
BE:nl BF:fr BG:bg BH:ar BI:fr BJ:fr BL:fr BO:es BQ:nl BR:pt BT:dz BY:be CD:fr
CF:fr CG:fr CH:de CI:fr CL:es CM:fr CN:zh CO:es CR:es CU:es CV:pt CW:nl CY:el
CZ:cs DE:de DJ:fr DK:da DO:es DZ:ar EC:es EE:et EG:ar ER:ti ES:es FI:fi
FO:fo FR:fr GA:fr GE:ka GF:fr GL:kl GN:fr GP:fr GQ:es GR:el GT:es GW:pt HK:zh
HN:es HR:hr HT:fr HU:hu ID:id IL:he IQ:ar IR:fa IS:is IT:it JO:ar JP:ja KG:ky
KH:km KM:fr KP:ko KR:ko KW:ar KZ:kk LA:lo LB:ar LI:de LK:si LT:lt LU:lb LV:lv
LY:ar MA:ar MC:fr MD:ro ME:sr MF:fr MG:mg MK:mk ML:fr MM:my MN:mn MO:zh MQ:fr
MR:ar MT:mt MV:dv MX:es MY:ms MZ:pt NC:fr NE:fr NI:es NL:nl NO:nb NP:ne OM:ar
PA:es PE:es PF:fr PK:ur PL:pl PM:fr PR:es PS:ar PT:pt PY:es QA:ar RE:fr RO:ro
RS:sr RU:ru RW:rw SA:ar SD:ar SE:sv SI:sl SJ:nb SK:sk SM:it SN:fr SO:so SR:nl
ST:pt SV:es SX:nl SY:ar TD:fr TG:fr TH:th TJ:tg TL:pt TM:tk TN:ar TO:to TR:tr
TW:zh TZ:sw UA:uk UY:es UZ:uz VA:it VE:es VN:vi VU:bi WF:fr WS:sm YE:ar YT:fr
""".split())

ISO_JSON = "/usr/share/iso-codes/json/iso_3166-1.json"
LOCALE_DIR = "/usr/share/locale"


def mcc_rows():
    rows = []
    for item in MCC_TABLE.replace("\n", " ").split(";"):
        codes, sn = item.split()
        rows += [(mcc, sn) for mcc in codes.split("/")]
    return sorted(rows)


def english_name(iso):
    if "common_name" in iso:
        return iso["common_name"]
    name = iso["name"]
    # "Palestine, State of" -> "State of Palestine", "Virgin Islands, U.S." ->
    # "U.S. Virgin Islands"; lists such as "Bonaire, Sint Eustatius and Saba"
    # stay as they are.
    m = re.fullmatch(r"(.*), (.*)", name)
    if m and (re.search(r"\bof( the)?$", m.group(2)) or m.group(2) in ("British", "U.S.")):
        head = m.group(2)
        head = head[0].upper() + head[1:]
        return f"{head} {m.group(1)}"
    return name


def localised(sn, lang):
    entry = LOCALE_DATA.get(sn, {})
    value = entry.get(lang)
    while value and value.startswith("*"):
        value = entry.get(value[1:])
    return value


def native_name(sn, iso, english):
    lang = LANGUAGE.get(sn)
    if not lang:
        return english
    name = localised(sn, lang)
    if name and name != localised(sn, "en"):
        return name
    if iso:
        try:
            catalog = gettext.translation("iso_3166-1", LOCALE_DIR, [lang])._catalog
        except OSError:
            catalog = {}
        for msgid in (iso.get("common_name"), iso["name"]):
            value = catalog.get(msgid) if msgid else None
            # An inverted official form ("Moldova, Republica") is no name.
            if value and "," not in value and "،" not in value:
                return value
    return english


def national_prefixes(meta):
    found = []
    if meta.national_prefix:
        found.append(meta.national_prefix)
    parse = meta.national_prefix_for_parsing or ""
    if re.fullmatch(r"\d+(\|\d+)*", parse):
        found += parse.split("|")
    elif re.fullmatch(r"\[\d+\]", parse):
        found += list(parse[1:-1])
    return ",".join(dict.fromkeys(found))


def pattern(desc):
    return (desc.national_number_pattern or "") if desc else ""


def country_row(sn, iso, mccs):
    meta = PhoneMetadata.metadata_for_region(sn)
    if meta is None:
        sys.exit(f"no numbering metadata for {sn}")
    n = english_name(iso) if iso else localised(sn, "en") or sn
    formats = list(meta.number_format)
    row = {
        "sn": sn,
        "n": n,
        "ln": native_name(sn, iso, n),
        "pnum": str(meta.country_code),
        "mmc": ",".join(mccs),
        "numc": ",".join(str(x) for x in (meta.general_desc.possible_length or ())),
        "u2": national_prefixes(meta),
        "r1": pattern(meta.mobile),
        "r2": ";".join(f.pattern for f in formats),
        "r3": ";".join(re.sub(r"\\(\d)", r"$\1", f.format) for f in formats),
        "r4": ";".join((f.leading_digits_pattern or [""])[-1] for f in formats),
        "mnc_rx": meta.international_prefix or "",
    }
    fixed = FIXED_ROWS.get(sn)
    if fixed:
        for key, value in zip(("n", "ln", "pnum", "mmc", "numc", "u2", "r1"), fixed):
            if value is not None:
                row[key] = value
    return row


def sql_text(value):
    return "'" + value.replace("'", "''") + "'"


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "res", "countries.sql")
    with open(ISO_JSON, encoding="utf-8") as f:
        iso = {e["alpha_2"]: e for e in json.load(f)["3166-1"]}
    mccs = mcc_rows()
    by_country = {}
    for mcc, sn in mccs:
        by_country.setdefault(sn, []).append(mcc)
    assert len(COUNTRIES) == 242 and len(mccs) == 235
    assert all(sn in COUNTRIES for _, sn in mccs)

    columns = ("sn", "ln", "pnum", "mmc", "numc", "u2", "r1", "r2", "r3", "r4", "mnc_rx", "n")
    lines = [
        "-- Country library: numbering rules per country and the country of each",
        "-- mobile country code. Written by tools/make-countries-sql.py.",
        "CREATE TABLE countries (sn CHAR(2) PRIMARY KEY, ln TEXT, pnum TEXT, mmc TEXT,",
        "  numc TEXT, u2 TEXT, r1 TEXT, r2 TEXT, r3 TEXT, r4 TEXT, mnc_rx TEXT, n TEXT);",
        "CREATE INDEX index_countries_pnum ON countries (pnum);",
        "CREATE TABLE mmc_sn (mmc CHAR(3) PRIMARY KEY, sn CHAR(2));",
        "CREATE INDEX index_mmc_sn ON mmc_sn (sn);",
        "BEGIN;",
    ]
    for sn in sorted(COUNTRIES):
        row = country_row(sn, iso.get(sn), by_country.get(sn, []))
        values = ", ".join(sql_text(row[c]) for c in columns)
        lines.append(f"INSERT INTO countries ({', '.join(columns)}) VALUES ({values});")
    for mcc, sn in mccs:
        lines.append(f"INSERT INTO mmc_sn (mmc, sn) VALUES ('{mcc}', '{sn}');")
    lines.append("COMMIT;")
    with open(out, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
