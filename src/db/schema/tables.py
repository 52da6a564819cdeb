#!/usr/bin/env python3
"""Every table and column the gateway reads or writes, in one list, and the
schema scripts of the engines generated from it (run: python3 tables.py).

Kinds: n number, c cent, r rate (four decimals), t<len> text, m long text,
d date/time, f flag, id row id assigned by the database."""

import os

TABLES = [
    ("system", None, "moddate d, booltest f, mwst1 r, mwst2 r, sprache t10, "
     "pfadppcsync1 t255, pfadppcsync2 t255, pfadppcsync3 t255, pfadppcsync4 t255, pfadppcsync5 t255, "
     "pdaprt1 t100, pdaprt2 t100, pdaprt3 t100, pdaprt4 t100, pdaprt5 t100, "
     "happy1start t5, happy1ende t5, happy2start t5, happy2ende t5, nokassi0 f, gstypeu1mwstschl n, "
     "waehrung t10, bondruckport t100, bonshownr f, bonshowartnr f, bonshowtitel f, bonshowrabatt f, "
     "bonshowzeit f, bonshowbed f, bewjanein f, bonsumgross f, belkoprech f, bonvor n, fremdwaeh t10, "
     "waehkurs r, bontyp n, bonmemlogo f, bondrucker t100, bonlrand n, kuebonpreis n, kuebonartnr f, "
     "kuebongast f, kueartbez f, kuebonport1 t100, kuebonport2 t100, kuebonport3 t100, kuebonport4 t100, "
     "kuebonprt1 t100, kuebonprt2 t100, kuebonprt3 t100, kuebonprt4 t100, kuebongross f, "
     "bonshowtischname f, kuebonkellner f, kuebonkunde f, style n, colstyle n, backcol n, "
     "disptxt1 t40, disptxt2 t40"),
    ("systemhw", "filnr, kasse", "filnr n, kasse n, bondruckport t100, kuebonport1 t100, kuebonport2 t100, "
     "kuebonport3 t100, kuebonport4 t100, kuebonprt1 t100, kuebonprt2 t100, kuebonprt3 t100, "
     "kuebonprt4 t100, comschankanl n, comdisp n, disptyp t40"),
    ("uniquenr", "name", "name t30, wert n, startwert n, maxwert n"),
    ("kontenrahmen", "bez", "bez t50, konto n"),
    ("bontexte", "kf, pos", "kf t1, pos n, txt t100, font t20"),
    ("kueprtparam", "drucker", "drucker n, name t40, bonvorlauf n, grupp n, sort n, split f, kuesummer f, kopien n"),
    ("rauminfo", "starttisch, tischzahl", "starttisch n, tischzahl n, kuebonport t100, kuebonprt t100"),
    ("tischnamen", "tisch", "tisch n, name t40"),
    ("tische", "tisch", "tisch n, bubemerk t100, gaeste n, tse_startbest n"),
    ("artikel", "artnr", "artnr t15, artbez t40, artgrp n, konto n, belpreis n, vkpreis c, vkpreis2 c, "
     "perspreis c, angbis d, angpreis c, ahpreis c, happy1preis c, happy2preis c, typ n, mwst n, "
     "ausserhaus f, ekpreis c, lagfue f, zutnr n, ticket n, kostenstelle n, kueartbez t40, "
     "schankanlcode t20, printrezept f"),
    ("artgrp", "artgrp", "artgrp n, kueprt n, artgrp2 n, grpbez t40"),
    ("artgrp2", "artgrp2", "artgrp2 n, grpbez t40"),
    ("belaege", "belnr", "belnr n, belbez t40, preis1 c, preis2 c, preis3 c"),
    ("belzut", None, "belnr n, zutnr n, menge r"),
    ("artzut", None, "id n, artnr t15, zutnr n, menge r"),
    ("zutaten", "zutnr", "zutnr n, typ n, zutbez t40, linr n, ekpreis c, einheit t10, bestand r"),
    ("kassi", "kanr", "kanr n, name t30, schluesselnr t30"),
    ("kunden", "kdnr", "kdnr n, cardno t30, limit c, pin t64, name t40, vname t40, name2 t40, strasse t40, "
     "plz t10, ort t40, kdgrp n, letztbes d"),
    ("bestellung", "id", "id id, tisch n, kanr n, kdnr n, konto n, gast n, artnr t15, artbez t40, artgrp n, "
     "menge n, epreis c, opreis c, rabatt c, rabgrund t40, kueprt n, haskuebon f, mark n, kueinfo t255, "
     "belaginfo t255, belnrinfo t255, moddate d, insdate d, gang n, info t255, volgew r"),
    ("kass", "bunr", "bunr n, seqnr n, datumzeit d, vorgangstart d, doy n, version n, staid t30, kdnr n, "
     "cardno t30, kdgrp n, kanr n, kaname t30, filnr n, kasse n, tisch n, betrag c, umsatzzaehler c, "
     "umszaehlcrypt t100, mwst1proz r, mwst2proz r, mwst3proz r, mwst1altproz r, mwst2altproz r, "
     "mwst1 c, mwst2 c, mwst3 c, mwst1alt c, mwst2alt c, sum0 c, sum1 c, sum2 c, sum3 c, sum1alt c, "
     "sum2alt c, rabatt c, zahlart t10, bargegeben c, barzurueck c, sumgsin c, sumgsout c, sumgsfremd c, "
     "sumauslagen c, bonus n, gaeste n, pcatransid n, crc t10, signatur0 m, sigver n, payload m, "
     "depline m, sigsernr t100, tim_tpid t50, tim_tpidno n, tim_sernr t50, name1 t40, name2 t40, "
     "strasse t40, plzort t40, info t100, txt t40, tse_trx n, tse_sigcount n, tse_startbest n, "
     "tse_start n, tse_stop n, tse_sernr t255, tse_processtype t30, tse_processdata m, tse_qr m, "
     "tse_signatur m"),
    ("kasspro", None, "bunr n, seqnr n, pos n, datumzeit d, gvtyp t40, tisch n, version n, kdnr n, kanr n, "
     "filnr n, kasse n, artnr t15, artgrp n, artgrp2 n, artbez t40, grpbez t40, grpbez2 t40, ticket n, "
     "konto n, kostenstelle n, menge n, volgew r, preis c, posbetrag c, ekpreis c, rabatt c, rabgrund t40, "
     "mwst r, mwstproz r, mwstsatz n, mwstschl n, info t100, crc t10, zahlart t10"),
    ("kassea", None, "bunr n"),
    ("gutscheine", None, "status n, gsnr t30, typ n, mwstschl n, mwstproz r, bunr n, datum d, betrag c, "
     "filnr n, kasse n, zahlart t10, bemerk t100, datum_einl d, filnr_einl n, kasse_einl n, bunr_einl n"),
    ("auslagen", None, "bunr n, kasse n, datumzeit d, betrag c, zahlart t10, txt t40, kdnr n, name1 t40, "
     "name2 t40, strasse t40, plzort t40"),
    ("offrech", None, "datumzeit d, bunr n, kdnr n, betrag c, filnr n"),
    ("kdkto", None, "kdktobunr n, datumzeit d, msecs n, kdnr n, bunr n, seqnr n, txt t40, betrag c, saldo c"),
    ("bkto", None, "datumzeit d, kdnr n, txt t40, punkte n, saldo n"),
    ("buch2", "bunr2", "bunr2 n, bunr n, seqnr n, typ n, datumzeit d, zahlart t10, betrag c, kasse n, "
     "kanr n, kaname t30, crc t10, kdnr n, txt t40"),
    ("barsaldo", None, "datumzeit d, msecs n, lfdnr n, kasse n, bunr n, txt t40, kanr n, kaname t30, "
     "betrag c, saldo c"),
    ("zeilenstornos", "id", "id n, kasse n, seqnr n, bunr n, pos n, datumzeit d"),
    ("tmpkuebon", None, "kasse n, artnr t15, artbez t40, artgrp n, gang n, gast n, kueinfo t255, "
     "belaginfo t255, menge n, epreis c"),
    ("kuebonlog", None, "seqnr n, kuebonnr n, drucker n, tisch n, artnr t15, artbez t40, menge n, preis c, "
     "kanr n, kaname t30, msecs n, datumzeit d"),
    ("kuemon", None, "monitornr n, status n, tisch n, gang n, gast n, menge n, txt t255, insdate d"),
    ("tse_bestellungen", None, "seqnr n, datumzeit d, kanr n, kaname t30, kasse n, betrag c, tse_trx n, "
     "tse_sigcount n, tse_start n, tse_stop n, tse_sernr t255, tse_processtype t30, tse_processdata m, "
     "tse_signatur m"),
    ("tse_server_req", None, "status n, kasse n, merker n, typ t1, tse_trxnr n, processtype t30, processdata m"),
    ("tse_server_ans", None, "kasse n, merker n, tse_trxnr n, tse_logtimeutc n, tse_sernr t255, "
     "tse_sigcount n, tse_signatur m"),
    ("syslog", None, "datumzeit d, filnr n, kasse n, staid t30, kanr n, kaname t30, typ t1, txt t100, memotext m"),
]

# Counters and lookups compare names without regard to case on SQL Server; the
# embedded engine gets the same behaviour through NOCASE on these columns, and
# PostgreSQL through the citext type (with a check for the length).
NOCASE = {"artnr", "name", "bez", "cardno", "gsnr", "schluesselnr"}
# Keys the program relies on for uniqueness.
UNIQUE = {"uniquenr": "name", "kass": "bunr", "buch2": "bunr2"}
# Indexes for the lookups the program runs; the balance ledgers' newest row is
# found by its full sort order, tie-breaker included.
INDEXES = [("bestellung", "tisch"), ("kasspro", "bunr"), ("kdkto", "kdnr, datumzeit, kdktobunr"),
           ("tse_server_ans", "kasse, merker"), ("tse_server_req", "kasse, merker"),
           ("barsaldo", "kasse, datumzeit, lfdnr"), ("artikel", "artnr"), ("kass", "datumzeit"),
           ("bkto", "kdnr, datumzeit"), ("kunden", "kdnr"), ("kunden", "cardno"), ("gutscheine", "gsnr"),
           ("zeilenstornos", "seqnr")]
# Columns by which rows are found and which every statement that writes the
# table fills: NOT NULL on SQL Server, so a row nobody can find is refused.
# (The other engines' scripts stay as they are: tests write partial rows there.)
EXTRA_KEYS = {"kasspro": "bunr", "gutscheine": "gsnr", "kdkto": "kdnr, datumzeit, kdktobunr",
              "bkto": "kdnr, datumzeit", "barsaldo": "kasse, datumzeit, lfdnr", "tmpkuebon": "kasse",
              "kuebonlog": "seqnr", "tse_server_req": "kasse, merker", "tse_server_ans": "kasse, merker"}
# The database the script runs in, when it is created for it: a code page 1252
# collation that ignores case, as the lookups expect (a UTF-8 server default
# would count bytes in varchar columns).
MSSQL_COLLATION = "Latin1_General_CI_AS"


def key_columns(table, key):
    names = [k.strip() for k in (key or "").split(",") if k.strip()]
    names += [k.strip() for k in EXTRA_KEYS.get(table, "").split(",") if k.strip()]
    return set(names)

ISO = "'[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]*'"


def columns(text):
    for item in text.split(","):
        name, kind = item.split()
        yield name, kind


def sqlite_type(table, name, kind):
    if kind == "id":
        return "INTEGER PRIMARY KEY AUTOINCREMENT"
    if kind in ("n", "c"):
        return "INTEGER"
    if kind == "f":
        return "SMALLINT"
    if kind == "r":
        return "NUMERIC(9,4)"
    if kind == "m":
        return "TEXT"
    if kind == "d":
        if table == "system" and name == "moddate":
            # The date probe writes '31.12.2000' (refused, as on a server with
            # ISO dates) and then '12/31/2000', which a trigger stores as ISO.
            return ("DATETIME CHECK (moddate IS NULL OR moddate GLOB " + ISO +
                    " OR moddate GLOB '[0-9][0-9]/[0-9][0-9]/[0-9][0-9][0-9][0-9]*')")
        return "DATETIME CHECK (%s IS NULL OR %s GLOB %s)" % (name, name, ISO)
    if kind.startswith("t"):
        t = "VARCHAR(%s)" % kind[1:]
        return t + " COLLATE NOCASE" if name in NOCASE else t
    raise ValueError(kind)


def mssql_type(kind):
    return {"id": "INT IDENTITY(1,1) PRIMARY KEY", "n": "INT", "c": "INT", "f": "SMALLINT",
            "r": "DECIMAL(9,4)", "m": "VARCHAR(MAX)", "d": "DATETIME"}.get(kind) or "VARCHAR(%s)" % kind[1:]


def postgresql_type(name, kind):
    if kind == "id":
        return "INTEGER GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY"
    if kind.startswith("t") and name in NOCASE:
        return "CITEXT CHECK (char_length(%s) <= %s)" % (quote(name, "postgresql"), kind[1:])
    return {"n": "INTEGER", "c": "INTEGER", "f": "SMALLINT", "r": "NUMERIC(9,4)", "m": "TEXT",
            "d": "TIMESTAMP"}.get(kind) or "VARCHAR(%s)" % kind[1:]


def column_type(engine, table, name, kind):
    if engine == "sqlite":
        return sqlite_type(table, name, kind)
    if engine == "postgresql":
        return postgresql_type(name, kind)
    return mssql_type(kind)


def quote(name, engine):
    if name == "limit":
        return "[limit]" if engine == "mssql" else '"limit"'
    return name


def generate(engine):
    out = ["-- Generated by tables.py: every table and column the gateway uses.", ""]
    if engine == "postgresql":
        # Trusted since PostgreSQL 13: the database owner may install it.
        out.append("CREATE EXTENSION IF NOT EXISTS citext;")
    if engine == "mssql":
        out.append("-- A new database for it: CREATE DATABASE tolven COLLATE %s" % MSSQL_COLLATION)
    for table, key, column_list in TABLES:
        cols = []
        keys = key_columns(table, key)
        for name, kind in columns(column_list):
            t = column_type(engine, table, name, kind)
            if engine == "mssql" and name in keys and kind != "id":
                t += " NOT NULL"
            cols.append("  %s %s" % (quote(name, engine), t))
        if table in UNIQUE:
            cols.append("  CONSTRAINT uq_%s UNIQUE (%s)" % (table, UNIQUE[table]))
        out.append("CREATE TABLE %s (\n%s\n);" % (table, ",\n".join(cols)))
    for table, cols in INDEXES:
        out.append("CREATE INDEX ix_%s_%s ON %s (%s);" % (table, cols.replace(", ", "_"), table, cols))
    if engine == "sqlite":
        out.append("""CREATE TRIGGER system_moddate_us AFTER UPDATE OF moddate ON system
  WHEN NEW.moddate GLOB '[0-9][0-9]/[0-9][0-9]/[0-9][0-9][0-9][0-9]*'
BEGIN
  UPDATE system SET moddate = substr(NEW.moddate, 7, 4) || '-' || substr(NEW.moddate, 1, 2) || '-' ||
    substr(NEW.moddate, 4, 2) || substr(NEW.moddate, 11) WHERE rowid = NEW.rowid;
END;""")
    out.append("INSERT INTO system (mwst1, mwst2, sprache, booltest) VALUES (19, 7, 'DE', 0);")
    if engine == "mssql":
        out = [s.replace(";", ";\nGO") if s.startswith("CREATE TABLE") else s for s in out]
    return "\n".join(out) + "\n"


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    for engine in ("sqlite", "mssql", "postgresql"):
        with open(os.path.join(here, engine + ".sql"), "w", encoding="utf-8") as f:
            f.write(generate(engine))
