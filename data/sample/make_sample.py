#!/usr/bin/env python3
"""Writes sample.xml: the sample catalogue of Icelandic books as MARCXML.

Every record is made up here (authors, titles and numbers are invented;
the sagas are anonymous works).  Run from anywhere:
    python3 data/sample/make_sample.py
The output is deterministic, so the file changes only when this script does.
"""
import os
import random
from xml.sax.saxutils import escape

rng = random.Random(20261206)

FORENAMES_F = ["Guðrún", "Sigríður", "Kristín", "Helga", "Anna", "Margrét", "Ingibjörg", "Jóhanna", "Ragnheiður",
               "Þórunn", "Steinunn", "Auður", "Vigdís", "Ásta", "Hildur", "Elín", "Sólveig", "Bryndís"]
FORENAMES_M = ["Jón", "Sigurður", "Guðmundur", "Gunnar", "Ólafur", "Einar", "Magnús", "Stefán", "Kristján", "Björn",
               "Þórður", "Halldór", "Páll", "Árni", "Hallgrímur", "Snorri", "Egill", "Ragnar"]
FATHERS = ["Jóns", "Sigurðar", "Guðmundar", "Gunnars", "Ólafs", "Einars", "Magnúsar", "Stefáns", "Kristjáns",
           "Björns", "Þórðar", "Páls", "Árna", "Helga", "Bjarna", "Hannesar", "Eiríks", "Þorsteins"]
PUBLISHERS = [("Reykjavík", "Mál og menning"), ("Reykjavík", "Forlagið"), ("Reykjavík", "Bjartur"),
              ("Akureyri", "Bókaútgáfan Hólar"), ("Reykjavík", "Vaka-Helgafell"), ("Reykjavík", "Ormstunga"),
              ("Hafnarfjörður", "Skuggi"), ("Reykjavík", "Hið íslenska bókmenntafélag"),
              ("Reykjavík", "Háskólaútgáfan"), ("Ísafjörður", "Vestfirska forlagið")]
LOCATIONS = {1: ["Skáldsögur", "Ljóð", "Barnadeild", "Fræðirit", "Fornrit", "Handbækur"],
             2: ["Skáldsögur", "Barnadeild", "Fræðirit", "Almenn útlán"]}

NOVEL_WORDS_A = ["Vetrarnótt", "Skuggar", "Hafið", "Fjallið", "Brúin", "Eyjan", "Vitinn", "Húsið", "Dalurinn",
                 "Vegurinn", "Myrkrið", "Ljósið", "Sumarið", "Jökullinn", "Fjörðurinn", "Heiðin", "Ströndin",
                 "Sandurinn", "Hraunið", "Bærinn"]
NOVEL_WORDS_B = ["við ána", "í norðri", "á heiðinni", "undir jökli", "í fjörunni", "á Ströndum", "í Reykjavík",
                 "um haust", "í þokunni", "í vestri", "við sjóinn", "á eyðibýlinu"]
NOVEL_SUB = ["skáldsaga", "saga", "skáldsaga úr samtímanum", "sönn saga", "glæpasaga"]
POETRY_TITLES = ["Ljóð úr fjörunni", "Kvæði um vorið", "Stef við ána", "Orð í vindi", "Hendingar",
                 "Ljóðmæli", "Þögnin og hafið", "Vísur og kvæði", "Morgunljóð", "Ljóð handa þér",
                 "Steinar í vasa", "Blár himinn", "Kvöldljóð", "Rökkurljóð", "Nýjar hendingar",
                 "Sálmar og söngvar", "Fuglar himinsins", "Ljóð um landið", "Snjór", "Orðin sem urðu eftir"]
CHILDREN = ["Lísa og leynigarðurinn", "Tumi fer í sveitina", "Drekinn í fjallinu", "Kata og kötturinn",
            "Ævintýri á hafsbotni", "Litla gula hænan", "Bangsi fer í skóla", "Sagan af Búkollu",
            "Óli og risinn", "Snati og stjarnan", "Stelpan sem gat flogið", "Prinsessan á eyjunni",
            "Jólasveinarnir þrettán", "Geimferð Gunnu", "Músin í kirkjunni", "Trölladansinn",
            "Hafmeyjan í Hvalfirði", "Sólarsaga", "Strákurinn og hvalurinn", "Álfarnir í hólnum",
            "Ferðin til tunglsins", "Rauði boltinn", "Gæsamamma og ungarnir", "Vinir í vetrarsnjó",
            "Týndi hvolpurinn", "Skrímslið undir rúminu", "Hrafninn og refurinn", "Draugurinn í vitanum"]
NONFICTION = [
    ("Saga Íslands í stuttu máli", ["Ísland", "Saga"], "949.12"),
    ("Íslensk skáld á 20. öld", ["Íslenskar bókmenntir", "Skáld", "20. öld"], "810.9"),
    ("Fuglar Íslands", ["Fuglar", "Ísland"], "598"),
    ("Jarðfræði Íslands", ["Jarðfræði", "Ísland"], "555.12"),
    ("Eldgos og jarðskjálftar", ["Eldgos", "Jarðskjálftar"], "551.2"),
    ("Íslensk matargerð", ["Matreiðsla", "Íslensk matargerð"], "641.5"),
    ("Handbók um garðrækt", ["Garðrækt"], "635"),
    ("Íslensk málfræði", ["Íslenska", "Málfræði"], "415"),
    ("Þjóðsögur og ævintýri", ["Þjóðsögur", "Ísland"], "398.2"),
    ("Sjávarútvegur á Íslandi", ["Sjávarútvegur", "Ísland"], "338.3"),
    ("Hestar og hestamennska", ["Íslenski hesturinn", "Hestamennska"], "636.1"),
    ("Saga Reykjavíkur", ["Reykjavík", "Saga"], "949.12"),
    ("Landnám Íslands", ["Landnám", "Ísland", "Saga"], "949.12"),
    ("Íslenskar plöntur", ["Plöntur", "Grasafræði"], "581"),
    ("Heimspeki fyrir byrjendur", ["Heimspeki"], "100"),
    ("Tónlist á Íslandi", ["Tónlist", "Ísland"], "780"),
    ("Jöklar á Íslandi", ["Jöklar", "Loftslagsbreytingar"], "551.31"),
    ("Skip og sjómennska", ["Sjómennska", "Skip"], "623.8"),
    ("Listasaga Íslands", ["Myndlist", "Ísland", "Saga"], "709"),
    ("Kirkjur á Íslandi", ["Kirkjur", "Byggingarlist"], "726"),
    ("Íslenskur búningur", ["Þjóðbúningar"], "391"),
    ("Handritin heim", ["Handrit", "Fornrit"], "091"),
    ("Stjörnufræði handa öllum", ["Stjörnufræði"], "520"),
    ("Lýðveldið Ísland 1944", ["Ísland", "Stjórnmál", "Saga"], "949.12"),
    ("Vestfirðir: saga og byggð", ["Vestfirðir", "Byggðasaga"], "949.12"),
    ("Hvalir við Ísland", ["Hvalir", "Sjávarlíffræði"], "599.5"),
    ("Íslensk orðsifjabók", ["Íslenska", "Orðsifjafræði"], "439"),
    ("Ævi og störf Jóns Sigurðssonar", ["Jón Sigurðsson", "Sjálfstæðisbaráttan"], "920"),
    ("Kortasaga Íslands", ["Landakort", "Ísland"], "912"),
    ("Veðurfar á Íslandi", ["Veðurfræði", "Ísland"], "551.6"),
]
SAGAS = ["Brennu-Njáls saga", "Egils saga Skalla-Grímssonar", "Laxdæla saga", "Grettis saga",
         "Eyrbyggja saga", "Gísla saga Súrssonar", "Hrafnkels saga Freysgoða", "Vatnsdæla saga",
         "Fóstbræðra saga", "Bandamanna saga", "Kjalnesinga saga", "Hænsna-Þóris saga",
         "Gunnlaugs saga ormstungu", "Víga-Glúms saga", "Reykdæla saga", "Finnboga saga ramma",
         "Grænlendinga saga", "Eiríks saga rauða"]
SERIES = ["Íslensk fornrit", "Sígildar sögur", "Skáldsögur heimsins", "Barnabókaflokkurinn Sólskin",
          "Fræðirit handa almenningi", "Ljóðasafn ungra skálda"]


def person():
    if rng.random() < 0.5:
        first = rng.choice(FORENAMES_F)
        if rng.random() < 0.3:
            first += " " + rng.choice(FORENAMES_F)
        return first + " " + rng.choice(FATHERS) + "dóttir"
    first = rng.choice(FORENAMES_M)
    return first + " " + rng.choice(FATHERS) + "son"


def isbn13(n):
    digits = "978997" + "%06d" % n
    total = sum((3 if i % 2 else 1) * int(d) for i, d in enumerate(digits))
    check = (10 - total % 10) % 10
    d = digits + str(check)
    return "%s-%s-%s-%s-%s" % (d[0:3], d[3:7], d[7:9], d[9:12], d[12])


class Rec:
    def __init__(self, leader7="m", leader6="a"):
        self.leader = "00000n%s%s a2200000 a 4500" % (leader6, leader7)
        self.fields = []

    def control(self, tag, data):
        self.fields.append((tag, None, None, data))

    def add(self, tag, ind1, ind2, *subs):
        subs = [(c, v) for c, v in subs if v]
        if subs:
            self.fields.append((tag, ind1, ind2, subs))

    def xml(self):
        out = ["  <record>", "    <leader>%s</leader>" % self.leader]
        for tag, i1, i2, data in sorted(self.fields, key=lambda f: f[0]):
            if i1 is None:
                out.append('    <controlfield tag="%s">%s</controlfield>' % (tag, escape(data)))
            else:
                out.append('    <datafield tag="%s" ind1="%s" ind2="%s">' % (tag, i1, i2))
                for c, v in data:
                    out.append('      <subfield code="%s">%s</subfield>' % (c, escape(v)))
                out.append("    </datafield>")
        out.append("  </record>")
        return "\n".join(out)


records = []
counter = [0]
accession = [100000]


def new(kind_leader7="m"):
    counter[0] += 1
    r = Rec(kind_leader7)
    r.control("001", "kv%05d" % counter[0])
    r.control("005", "20%02d%02d%02d120000.0" % (rng.randint(10, 25), rng.randint(1, 12), rng.randint(1, 28)))
    records.append(r)
    return r


def copies(r, collection, n, location):
    for _ in range(n):
        accession[0] += rng.randint(1, 9)
        loan = str(rng.randint(1, 5000)) if rng.random() < 0.25 else ""
        note = rng.choice(["", "", "", "Gjöf", "Viðgert", "Eintak með áritun"])
        r.add("852", " ", " ", ("a", str(collection)), ("b", location), ("p", str(accession[0])), ("z", note),
              ("9", loan))


def book(title, sub, author, year, pub, pages, call, subjects=(), series=None, edition=None, isbn=None,
         collection=1, location="Skáldsögur", ncopies=2, contents=None, note=None, added=()):
    r = new()
    if isbn:
        r.add("020", " ", " ", ("a", isbn))
    r.add("090", " ", " ", ("a", call[0]), ("b", call[1]))
    if author:
        r.add("100", "0", " ", ("a", author + ","), ("e", "höfundur"))
    nonfiling = "0"
    r.add("245", "1" if author else "0", nonfiling, ("a", title + (" :" if sub else " /" if author else "")),
          ("b", (sub + " /") if sub and author else sub), ("c", author or ""))
    if edition:
        r.add("250", " ", " ", ("a", edition))
    r.add("260", " ", " ", ("a", pub[0] + " :"), ("b", pub[1] + ","), ("c", str(year)))
    r.add("300", " ", " ", ("a", "%d s. ;" % pages), ("c", rng.choice(["21 sm", "22 sm", "24 sm", "19 sm"])))
    if series:
        r.add("490", "0", " ", ("a", series[0] + " ;"), ("v", series[1]))
    if note:
        r.add("500", " ", " ", ("a", note))
    if contents:
        r.add("505", "0", " ", ("a", " -- ".join(contents)))
    for s in subjects:
        r.add("650", " ", "4", ("a", s))
    for a in added:
        r.add("700", "0", " ", ("a", a + ","), ("e", "þýðandi"))
    copies(r, collection, ncopies, location)
    return r


isbn_no = [1000]


def next_isbn():
    isbn_no[0] += rng.randint(1, 40)
    return isbn13(isbn_no[0])


# Sagas: anonymous works, several in two editions.
for i, saga in enumerate(SAGAS):
    editor = person()
    pub = ("Reykjavík", "Hið íslenska fornritafélag")
    year = rng.randint(1933, 1991)
    r = book(saga, "", None, year, pub, rng.randint(120, 480), ("Ísl", saga[:3]),
             subjects=["Íslendingasögur", "Fornbókmenntir"], series=("Íslensk fornrit", "%d. bindi" % (i + 2)),
             location="Fornrit", ncopies=rng.randint(1, 3))
    r.add("700", "0", " ", ("a", editor + ","), ("e", "útgefandi"))
    if i % 3 == 0:
        r = book(saga, "", None, rng.randint(1995, 2020), ("Reykjavík", "Mál og menning"), rng.randint(150, 400),
                 ("Ísl", saga[:3]), subjects=["Íslendingasögur"], edition="2. útgáfa", isbn=next_isbn(),
                 series=("Sígildar sögur", str(i + 1)), collection=2, location="Almenn útlán")

# Heimskringla, a work in parts with contents and a named author.
r = book("Heimskringla", "", "Snorri Sturluson", 1941, ("Reykjavík", "Hið íslenska fornritafélag"), 1200,
         ("Ísl", "Sno"), subjects=["Noregskonungasögur", "Konungasögur"], series=("Íslensk fornrit", "26. bindi"),
         location="Fornrit", contents=["Ynglinga saga", "Ólafs saga Tryggvasonar", "Ólafs saga helga",
                                       "Haralds saga Sigurðarsonar"])

# Novels, some held in both collections (the same ISBN twice).
authors = [person() for _ in range(20)]
for i in range(60):
    author = authors[i % len(authors)]
    title = rng.choice(NOVEL_WORDS_A) + " " + rng.choice(NOVEL_WORDS_B)
    year = rng.randint(1965, 2025)
    pub = rng.choice(PUBLISHERS[:7])
    isbn = next_isbn() if year >= 1975 else None
    mark = author.split()[-1][:3]
    sub, pages = rng.choice(NOVEL_SUB), rng.randint(160, 520)
    r = book(title, sub, author, year, pub, pages, ("Skáldsögur", mark),
             subjects=["Íslenskar bókmenntir", "Skáldsögur"], isbn=isbn, ncopies=rng.randint(1, 4))
    if i % 5 == 0 and isbn:
        book(title, sub, author, year, pub, pages, ("Skáldsögur", mark),
             subjects=["Íslenskar bókmenntir", "Skáldsögur"], isbn=isbn, collection=2, ncopies=1)
    if i % 12 == 3:
        book(title, "skáldsaga", author, year + rng.randint(3, 12), pub, rng.randint(160, 520), ("Skáldsögur", mark),
             subjects=["Íslenskar bókmenntir", "Skáldsögur"], isbn=next_isbn(), edition="2. prentun",
             ncopies=1)
    if i % 15 == 7:
        book(title, "skáldsaga", author, year, pub, rng.randint(160, 520), ("Skáldsögur", mark),
             subjects=["Íslenskar bókmenntir", "Skáldsögur"], isbn=next_isbn(), ncopies=1,
             note="Þýðing á dönsku fylgir", added=[person()])

# Poetry.
for i, t in enumerate(POETRY_TITLES):
    author = person()
    book(t, "ljóð", author, rng.randint(1950, 2025), rng.choice(PUBLISHERS), rng.randint(40, 120),
         ("Ljóð", author.split()[-1][:3]), subjects=["Íslensk ljóð", "Ljóð"],
         isbn=next_isbn() if i % 4 else None, location="Ljóð", ncopies=1,
         series=("Ljóðasafn ungra skálda", str(i + 1)) if i % 3 == 0 else None)

# Children's books, many in the branch.
for i, t in enumerate(CHILDREN):
    author = person()
    book(t, "", author, rng.randint(1970, 2025), rng.choice(PUBLISHERS), rng.randint(24, 180),
         ("Barnabækur", author.split()[-1][:3]), subjects=["Barnabækur", "Ævintýri"],
         isbn=next_isbn(), collection=2 if i % 2 else 1, location="Barnadeild", ncopies=rng.randint(1, 3),
         series=("Barnabókaflokkurinn Sólskin", str(i + 1)) if i % 4 == 0 else None)

# Non-fiction.
for i, (t, subjects, cls) in enumerate(NONFICTION):
    author = person()
    book(t, "", author, rng.randint(1960, 2025), rng.choice(PUBLISHERS[6:] + PUBLISHERS[:2]), rng.randint(90, 600),
         (cls, author.split()[-1][:3]), subjects=subjects, isbn=next_isbn(), location="Fræðirit",
         collection=1 if i % 3 else 2, ncopies=rng.randint(1, 3),
         series=("Fræðirit handa almenningi", str(i + 1)) if i % 5 == 0 else None)

# An anthology and three of its stories as component parts.
anthology = book("Smásögur frá tuttugustu öld", "safnrit", None, 2004, ("Reykjavík", "Mál og menning"), 388,
                 ("Smásögur", "Sma"), subjects=["Íslenskar bókmenntir", "Smásögur"], isbn=next_isbn(),
                 location="Skáldsögur", ncopies=2)
anthology.add("700", "0", " ", ("a", "Kristín Bjarnadóttir,"), ("e", "ritstjóri"))
host_id = anthology.fields[0][3]
for story, author, pages in [("Vorið kemur", person(), "11-24"), ("Maðurinn á bryggjunni", person(), "25-41"),
                             ("Síðasta ferjan", person(), "42-60")]:
    r = new("a")
    r.add("100", "0", " ", ("a", author + ","))
    r.add("245", "1", "0", ("a", story + " /"), ("c", author))
    r.add("300", " ", " ", ("a", "bls. " + pages))
    r.add("650", " ", "4", ("a", "Smásögur"))
    r.add("773", "0", " ", ("t", "Smásögur frá tuttugustu öld"), ("g", "bls. " + pages), ("w", host_id))

# A periodical with volumes and issues, and articles in it.
journal = new("s")
journal.add("022", " ", " ", ("a", "1021-8646"))
journal.add("245", "0", "0", ("a", "Ritið Hrafnaþing :"), ("b", "tímarit um íslensk fræði"))
journal.add("260", " ", " ", ("a", "Reykjavík :"), ("b", "Félag íslenskra fræða,"), ("c", "1987-"))
journal.add("362", "0", " ", ("a", "1. árg. (1987)-"))
journal.add("650", " ", "4", ("a", "Íslensk fræði"))
journal.add("650", " ", "4", ("a", "Tímarit"))
for v in range(1, 6):
    year = 2019 + v
    journal.add("863", " ", " ", ("8", str(v)), ("a", "%d. árg." % (32 + v)), ("i", str(year)),
                *[("b", "%d. hefti" % h) for h in range(1, 3 if v < 5 else 2)])
copies(journal, 1, 1, "Tímaritastofa")
journal_id = journal.fields[0][3]
for title, author, vol, issue, pages, subject in [
        ("Um kenningar í dróttkvæðum", person(), "33. árg.", "1. hefti", "7-29", "Dróttkvæði"),
        ("Handrit Njáls sögu", person(), "33. árg.", "2. hefti", "31-58", "Handrit"),
        ("Örnefni á Vestfjörðum", person(), "34. árg.", "1. hefti", "5-22", "Örnefni"),
        ("Skáldkonur á 19. öld", person(), "34. árg.", "2. hefti", "61-80", "Skáldkonur"),
        ("Málfar í sendibréfum", person(), "35. árg.", "1. hefti", "9-33", "Íslenska"),
        ("Sögustaðir í Dölum", person(), "36. árg.", "2. hefti", "45-70", "Sögustaðir"),
        ("Rímur og rímnakveðskapur", person(), "37. árg.", "1. hefti", "12-40", "Rímur")]:
    r = new("b")
    r.add("100", "0", " ", ("a", author + ","))
    r.add("245", "1", "0", ("a", title + " /"), ("c", author))
    r.add("650", " ", "4", ("a", subject))
    r.add("773", "0", " ", ("t", "Ritið Hrafnaþing"), ("g", vol), ("h", issue), ("q", pages), ("w", journal_id))

here = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(here, "sample.xml"), "w", encoding="utf-8") as f:
    f.write('<?xml version="1.0" encoding="UTF-8"?>\n')
    f.write('<collection xmlns="http://www.loc.gov/MARC21/slim">\n')
    f.write("\n".join(r.xml() for r in records))
    f.write("\n</collection>\n")
print("%d records" % len(records))
