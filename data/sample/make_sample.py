#!/usr/bin/env python3
"""Writes sample.xml: the sample catalogue of Kvistur as MARCXML.

About two hundred records of Icelandic books written for the project:
sagas, novels, poetry, children's books and non-fiction, with editions,
series, subjects and contents; copies in two collections (Aðalsafn and
Barnadeild), some of them on loan; an anthology with a component part; and
a periodical with its volumes, issues and articles.

The fields used, besides the usual 020, 100, 245, 250, 264, 300, 490, 505,
6XX and 700:
  852  one per copy: $a library, $b collection, $h call number,
       $p accession number, $z note, $x "útlán" when the copy is on loan,
       $9 borrower number
  866  one per volume of a periodical: $8 ordering number, $a volume,
       $y year, $i issues separated by commas
  773  the host of a component part or an article: $w the host's 001,
       $t its title, $g volume and issue, $q pages; for an article $x the
       host's ISSN
Run it again after editing: python3 make_sample.py > sample.xml
"""
import random
from xml.sax.saxutils import escape

random.seed(1944)

SAGAS = ["Brennu-Njáls saga", "Egils saga Skalla-Grímssonar", "Laxdæla saga", "Grettis saga Ásmundarsonar",
         "Gísla saga Súrssonar", "Eyrbyggja saga", "Hrafnkels saga Freysgoða", "Vatnsdæla saga",
         "Fóstbræðra saga", "Bandamanna saga", "Gunnlaugs saga ormstungu", "Kormáks saga", "Hænsa-Þóris saga",
         "Víga-Glúms saga", "Ljósvetninga saga", "Reykdæla saga og Víga-Skútu", "Eiríks saga rauða",
         "Grænlendinga saga", "Bárðar saga Snæfellsáss", "Vopnfirðinga saga"]
EDITORS = [("Einar Ól. Sveinsson", "1", "Sveinsson, Einar Ól."), ("Sigurður Nordal", "1", "Nordal, Sigurður"),
           ("Jón Böðvarsson", "1", "Böðvarsson, Jón"), ("Örnólfur Thorsson", "1", "Thorsson, Örnólfur")]
NOVELS = [("Halldór Laxness", ["Sjálfstætt fólk", "Íslandsklukkan", "Salka Valka", "Atómstöðin", "Gerpla",
                               "Brekkukotsannáll", "Heimsljós", "Paradísarheimt", "Kristnihald undir Jökli"]),
          ("Gunnar Gunnarsson", ["Fjallkirkjan", "Aðventa", "Svartfugl", "Vikivaki"]),
          ("Jón Kalman Stefánsson", ["Himnaríki og helvíti", "Harmur englanna", "Hjarta mannsins", "Fiskarnir hafa enga fætur"]),
          ("Auður Ava Ólafsdóttir", ["Afleggjarinn", "Ör", "Ungfrú Ísland", "Rigning í nóvember"]),
          ("Sjón", ["Mánasteinn", "Skugga-Baldur", "Rökkurbýsnir"]),
          ("Einar Már Guðmundsson", ["Englar alheimsins", "Riddarar hringstigans", "Fótspor á himnum"]),
          ("Arnaldur Indriðason", ["Mýrin", "Grafarþögn", "Röddin", "Kleifarvatn", "Vetrarborgin", "Harðskafi"]),
          ("Yrsa Sigurðardóttir", ["Þriðja táknið", "Sér grefur gröf", "Aska", "Ég man þig"]),
          ("Steinunn Sigurðardóttir", ["Tímaþjófurinn", "Hjartastaður", "Jójó"]),
          ("Thor Vilhjálmsson", ["Grámosinn glóir", "Morgunþula í stráum"]),
          ("Þórbergur Þórðarson", ["Ofvitinn", "Íslenzkur aðall", "Bréf til Láru"]),
          ("Jón Thoroddsen", ["Piltur og stúlka", "Maður og kona"]),
          ("Guðrún Eva Mínervudóttir", ["Allt með kossi vekur", "Skaparinn"]),
          ("Svava Jakobsdóttir", ["Leigjandinn", "Gunnlaðar saga"]),
          ("Vigdís Grímsdóttir", ["Kaldaljós", "Grandavegur 7"]),
          ("Ólafur Jóhann Sigurðsson", ["Gangvirkið", "Hreiðrið"]),
          ("Guðbergur Bergsson", ["Tómas Jónsson, metsölubók", "Svanurinn"])]
POETS = [("Jónas Hallgrímsson", ["Ljóðmæli", "Ljóð og lausamál"]), ("Steinn Steinarr", ["Tíminn og vatnið", "Ljóð"]),
         ("Davíð Stefánsson", ["Svartar fjaðrir", "Kvæði"]), ("Einar Benediktsson", ["Hafblik", "Hrannir"]),
         ("Hannes Pétursson", ["Kvæðabók", "Stund og staðir"]), ("Gerður Kristný", ["Blóðhófnir", "Drápa"]),
         ("Ingibjörg Haraldsdóttir", ["Orðspor daganna"]), ("Hallgrímur Pétursson", ["Passíusálmar"]),
         ("Tómas Guðmundsson", ["Fagra veröld"]), ("Snorri Hjartarson", ["Á Gnitaheiði", "Hauströkkrið yfir mér"]),
         ("Vilborg Dagbjartsdóttir", ["Munu ekki öll orð enda"]), ("Linda Vilhjálmsdóttir", ["Frelsi"])]
CHILDREN = [("Guðrún Helgadóttir", ["Jón Oddur og Jón Bjarni", "Í afahúsi", "Ástarsaga úr fjöllunum"]),
            ("Andri Snær Magnason", ["Sagan af bláa hnettinum", "Tímakistan"]),
            ("Þorgrímur Þráinsson", ["Tár, bros og takkaskór", "Margt býr í myrkrinu"]),
            ("Gunnar Helgason", ["Mamma klikk!", "Pabbi prófessor", "Amma best"]),
            ("Kristín Helga Gunnarsdóttir", ["Fíasól í fínum málum", "Fíasól á flandri"]),
            ("Sigrún Eldjárn", ["Sigrún í safninu", "Kuggur og leikhúsvélin"]),
            ("Ævar Þór Benediktsson", ["Þín eigin þjóðsaga", "Þín eigin goðsaga"]),
            ("Bergljót Arnalds", ["Talnapúkinn"]), ("Iðunn Steinsdóttir", ["Knáir karlar"])]
NONFICTION = [("Gunnar Karlsson", "Íslandssaga í stuttu máli", ["Ísland", "Saga"]),
              ("Helgi Hallgrímsson", "Sveppabókin", ["Sveppir", "Ísland"]),
              ("Hörður Kristinsson", "Íslenskar plöntur", ["Plöntur", "Grasafræði"]),
              ("Jóhann Óli Hilmarsson", "Fuglar Íslands", ["Fuglar", "Ísland"]),
              ("Ari Trausti Guðmundsson", "Eldgos á Íslandi", ["Eldgos", "Jarðfræði"]),
              ("Þorleifur Einarsson", "Jarðfræði", ["Jarðfræði", "Ísland"]),
              ("Guðjón Friðriksson", "Saga Reykjavíkur", ["Reykjavík", "Saga"]),
              ("Mörður Árnason", "Íslensk orðabók", ["Íslenska", "Orðabækur"]),
              ("Jón Viðar Sigurðsson", "Kristni á Íslandi", ["Kristni", "Saga"]),
              ("Helga Kress", "Máttugar meyjar", ["Kvennabókmenntir", "Íslendingasögur"]),
              ("Vésteinn Ólason", "Samræður við söguöld", ["Íslendingasögur", "Bókmenntafræði"]),
              ("Sigurður Nordal", "Íslenzk menning", ["Menning", "Saga"]),
              ("Unnur Birna Karlsdóttir", "Þar sem fossarnir falla", ["Náttúruvernd", "Virkjanir"]),
              ("Guðmundur Hálfdanarson", "Íslenska þjóðríkið", ["Þjóðerni", "Stjórnmál"]),
              ("Nanna Rögnvaldardóttir", "Matarást", ["Matreiðsla", "Matur"]),
              ("Páll Bergþórsson", "Vínlandsgátan", ["Vínlandsferðir", "Landafundir"])]
PUBLISHERS = [("Reykjavík", "Mál og menning"), ("Reykjavík", "Forlagið"), ("Reykjavík", "Vaka-Helgafell"),
              ("Reykjavík", "Bjartur"), ("Reykjavík", "Hið íslenska bókmenntafélag"), ("Akureyri", "Bókaútgáfan Hólar"),
              ("Reykjavík", "Almenna bókafélagið"), ("Reykjavík", "JPV útgáfa")]

records = []
accession = [10000]
control = [0]


def next_control():
    control[0] += 1
    return "KV%05d" % control[0]


def name_field(tag, name, role=None):
    # Icelandic names stand in direct order (first indicator 0); foreign
    # style inverted names in the list above carry a comma.
    if ", " in name:
        return (tag, "1", " ", [("a", name)] + ([("e", role)] if role else []))
    return (tag, "0", " ", [("a", name)] + ([("e", role)] if role else []))


def copies(call, collections, loan_share=0.2):
    out = []
    for coll in collections:
        for _ in range(random.choice([1, 1, 2])):
            accession[0] += 1
            subs = [("a", "Bókasafn Kvists"), ("b", coll), ("h", call), ("p", str(accession[0]))]
            if random.random() < 0.15:
                subs.append(("z", random.choice(["Gjöf", "Lesstofueintak", "Lánast ekki út", "Viðgert 2019"])))
            if random.random() < loan_share:
                subs += [("x", "útlán"), ("9", str(random.randint(1, 900)))]
            out.append(("852", " ", " ", subs))
    return out


def book(title, author=None, subtitle=None, resp=None, year=None, pub=None, edition=None, pages=None,
         subjects=(), series=None, contents=None, call=None, collections=("Aðalsafn",), extra_names=(),
         isbn=None, leader7="m", host=None, gmd=None, illus=True):
    cn = next_control()
    pub = pub or random.choice(PUBLISHERS)
    year = year or str(random.randint(1940, 2024))
    fields = [("001", cn), ("005", "%s0101120000.0" % max(int(year[:4]), 1990))]
    if isbn:
        fields.append(("020", " ", " ", [("a", isbn)]))
    if author:
        fields.append(name_field("100", author))
    t = [("a", title + (" :" if subtitle else (" /" if (resp or author) else "")))]
    if gmd:
        t.append(("h", "[" + gmd + "]"))
    if subtitle:
        t.append(("b", subtitle + (" /" if (resp or author) else "")))
    if resp or author:
        t.append(("c", resp or author))
    fields.append(("245", "1" if author else "0", "0", t))
    if edition:
        fields.append(("250", " ", " ", [("a", edition)]))
    fields.append(("264", " ", "1", [("a", pub[0] + " :"), ("b", pub[1] + ","), ("c", year)]))
    p = [("a", "%d s. " % (pages or random.randint(60, 520)) + (":" if illus else ";"))]
    if illus:
        p.append(("b", random.choice(["myndir", "myndir, kort", "teikningar"]) + " ;"))
    p.append(("c", random.choice(["21 sm", "22 sm", "24 sm", "19 sm"])))
    fields.append(("300", " ", " ", p))
    if series:
        fields.append(("490", "1", " ", [("a", series[0] + " ;"), ("v", series[1])]))
    if contents:
        subs = []
        for i, (ct, cr) in enumerate(contents):
            subs.append(("t", ct + (" /" if cr else (" --" if i < len(contents) - 1 else ""))))
            if cr:
                subs.append(("r", cr + (" --" if i < len(contents) - 1 else "")))
        fields.append(("505", "0", "0", subs))
    for s in subjects:
        if isinstance(s, tuple):
            fields.append(("650", " ", "4", [("a", s[0]), ("x", s[1])]))
        else:
            fields.append(("650", " ", "4", [("a", s)]))
    for n, role in extra_names:
        fields.append(name_field("700", n, role))
    if host:
        fields.append(("773", "0", " ", host))
    fields += copies(call or "%s %s" % (random.choice(["813", "811", "839.6", "949.1", "028.5"]), (author or title)[:3]),
                     collections)
    records.append(("00000na" + leader7 + " a2200000 i 4500", fields))
    return cn


# Sagas: edited texts, several in two editions and both collections.
for i, s in enumerate(SAGAS):
    ed_name, _, _ = EDITORS[i % len(EDITORS)]
    book(s, resp="%s bjó til prentunar" % ed_name, year=str(1940 + i * 3), subjects=["Íslendingasögur", "Fornbókmenntir"],
         series=("Íslenzk fornrit", str(i + 1)), extra_names=[(ed_name, "ritstjóri")], call="839.6 %s" % s[:3],
         pub=("Reykjavík", "Hið íslenzka fornritafélag"), isbn="978-9979-%04d-%d" % (1000 + i, i % 10))
    if i % 3 == 0:
        book(s, resp="%s annaðist útgáfuna" % EDITORS[(i + 1) % len(EDITORS)][0], year=str(1990 + i),
             edition="2. útgáfa", subjects=["Íslendingasögur"], series=("Sígildar sögur", str(i // 3 + 1)),
             collections=("Aðalsafn", "Barnadeild"), call="839.6 %s" % s[:3], isbn="978-9979-%04d-%d" % (5000 + i, i % 10))

for author, titles in NOVELS:
    for j, t in enumerate(titles):
        isbn = "978-9935-%03d-%02d-%d" % (len(records) % 1000, j, len(records) % 10)
        book(t, author=author, subjects=[("Skáldsögur", "Íslenskar bókmenntir")], isbn=isbn,
             call="813 %s" % author.split()[-1][:3], illus=False, collections=random.choice([("Aðalsafn",), ("Aðalsafn", "Barnadeild")]))
        if j == 0:
            book(t, author=author, edition="%d. útgáfa" % random.randint(2, 5), subjects=["Skáldsögur"], illus=False,
                 year=str(random.randint(2005, 2024)), call="813 %s" % author.split()[-1][:3], isbn=isbn[:-1] + "9")

for author, titles in POETS:
    for t in titles:
        book(t, author=author, subjects=["Ljóð", "Íslenskar bókmenntir"], illus=False,
             call="811 %s" % author.split()[-1][:3])

for author, titles in CHILDREN:
    for j, t in enumerate(titles):
        book(t, author=author, subjects=["Barnabækur", ("Skáldsögur", "Börn")], collections=("Barnadeild",),
             series=("Ungar sögur", str(j + 1)) if j % 2 else None, call="B %s" % author.split()[-1][:3])
        if j == 0:
            book(t, author=author, subjects=["Barnabækur"], collections=("Aðalsafn", "Barnadeild"),
                 edition="Ný útgáfa", year=str(random.randint(2010, 2024)), call="B %s" % author.split()[-1][:3])

for k, (author, t, subj) in enumerate(NONFICTION):
    call = "%s %s" % (random.choice(["949.1", "580", "598", "551", "641"]), author.split()[-1][:3])
    sub = random.choice([None, "yfirlit", "handbók", "saga og samtíð"])
    book(t, author=author, subjects=subj, call=call, subtitle=sub)
    book(t, author=author, subjects=subj, call=call, subtitle=sub, edition="%d. útgáfa, aukin og endurbætt" % (2 + k % 3),
         year=str(random.randint(2000, 2024)), collections=("Aðalsafn", "Barnadeild"))

# An anthology with its contents, and one poem of it catalogued as a part.
anthology = book("Íslensk ástarljóð", resp="Jón Yngvi Jóhannsson valdi", year="2008", subjects=["Ljóð", "Ástin"],
                 contents=[("Ferðalok", "Jónas Hallgrímsson"), ("Kvæðið um fangann", "Steinn Steinarr"),
                           ("Til þín", "Davíð Stefánsson"), ("Sumarnótt", "Ingibjörg Haraldsdóttir")],
                 extra_names=[("Jón Yngvi Jóhannsson", "ritstjóri")], call="811 Íse", isbn="978-9979-3-2960-1")
book("Ferðalok", author="Jónas Hallgrímsson", subjects=["Ljóð"], leader7="a", illus=False, pages=2,
     host=[("w", anthology), ("t", "Íslensk ástarljóð"), ("g", "2008, s. 12-13")], call="811 Íse")

# A periodical with volumes and issues, and articles in it.
skirnir_cn = next_control()
skirnir = [("001", skirnir_cn), ("022", " ", " ", [("a", "0256-8446")]),
           ("245", "0", "0", [("a", "Skírnir :"), ("b", "tímarit Hins íslenska bókmenntafélags")]),
           ("264", " ", "1", [("a", "Reykjavík :"), ("b", "Hið íslenska bókmenntafélag,"), ("c", "1827-")]),
           ("300", " ", " ", [("a", "bindi ;"), ("c", "23 sm")]),
           ("362", "0", " ", [("a", "1. árg. (1827)-")]),
           ("650", " ", "4", [("a", "Bókmenntir")]), ("650", " ", "4", [("a", "Tímarit")])]
for k, (vol, year) in enumerate([("178", "2004"), ("179", "2005"), ("180", "2006"), ("181", "2007")]):
    skirnir.append(("866", " ", " ", [("8", str(k + 1)), ("a", vol + ". árg."), ("y", year), ("i", "vor,haust")]))
skirnir += copies("050 Skí", ["Aðalsafn"], 0)
records.append(("00000nas a2200000 i 4500", skirnir))
for k, (t, a, g, q) in enumerate([("Um Njálu og tímann", "Helga Kress", "180. árg., vor (2006)", "s. 7-40"),
                                  ("Laxness og sagan", "Halldór Guðmundsson", "179. árg., haust (2005)", "s. 301-324"),
                                  ("Hvað er íslensk menning?", "Guðmundur Hálfdanarson", "181. árg., vor (2007)", "s. 55-80"),
                                  ("Fornsögur á nýrri öld", "Vésteinn Ólason", "178. árg., haust (2004)", "s. 410-433")]):
    cn = next_control()
    records.append(("00000nab a2200000 i 4500", [
        ("001", cn), name_field("100", a),
        ("245", "1", "0", [("a", t + " /"), ("c", a)]),
        ("650", " ", "4", [("a", "Bókmenntir")]),
        ("773", "0", " ", [("w", skirnir_cn), ("t", "Skírnir"), ("x", "0256-8446"), ("g", g), ("q", q)])]))


def write(out):
    out.write('<?xml version="1.0" encoding="UTF-8"?>\n')
    out.write('<collection xmlns="http://www.loc.gov/MARC21/slim">\n')
    for leader, fields in records:
        out.write("  <record>\n    <leader>%s</leader>\n" % leader)
        for f in fields:
            if len(f) == 2:
                out.write('    <controlfield tag="%s">%s</controlfield>\n' % (f[0], escape(f[1])))
            else:
                tag, i1, i2, subs = f
                out.write('    <datafield tag="%s" ind1="%s" ind2="%s">\n' % (tag, i1, i2))
                for code, value in subs:
                    out.write('      <subfield code="%s">%s</subfield>\n' % (code, escape(value)))
                out.write("    </datafield>\n")
        out.write("  </record>\n")
    out.write("</collection>\n")


if __name__ == "__main__":
    import sys
    write(sys.stdout)
    print("%d records" % len(records), file=sys.stderr)
