"""Deterministic CSV files for the benchmarks, in five shapes.

Each shape is a stream of rows drawn from a random generator seeded with the
shape's name, so a file is the same bytes on every machine and a smaller file
of a shape is a byte prefix of a larger one (the runner relies on that to time
slow passes on a sample). Rows are built a column at a time, a batch of rows at
once, and written in large blocks: 100 MB takes seconds, not minutes.

    gen_csv.py mixed 100 /tmp/mixed.csv
    gen_csv.py --list

Sizes are in MB of 1,000,000 bytes; a file stops at the first row end at or
past the size asked for. Every text except the free text and the NA texts is
meant to match exactly one type of bench/types.json; bench/check_types.py checks
that.
"""

import argparse
import datetime
import random
import sys
from typing import Callable, Dict, List, Sequence

MB = 1_000_000
BATCH_ROWS = 8192

# The texts that bench/types.json lists as missing values, in the proportions
# an export tool might leave them.
NA_TEXTS = ["", "", "", "NA", "N/A", "null", "NULL", "NaN", "-"]

WORDS = (
    "the of and to in is it for on with as was at by be this have from or one had not but what "
    "all were when we there can an your which their said if do will each about how up out them "
    "then she many some so these would other into has more her two like him see time could no "
    "make than first been its who now people my made over did down only way find use may water "
    "long little very after words called just where most know get through back much before go "
    "good new write our used me man too any day same right look think also around another came "
    "come work three word must because does part even place well such here take why things help "
    "put years different away again off went old number great tell men say small every found "
    "still between name should home big give air line set own under read last never us left end "
    "along while might next sound below saw something thought both few those always looked show "
    "large often together asked house world going want school important until form food keep "
    "children feet land side without boy once animals life enough took sometimes four head above "
    "kind began almost live page got earth need far hand high year mother light parts country "
    "father let night following picture being study second eyes soon times story boys since white "
    "days ever paper hard near sentence better best across during today others however sure means "
    "knew café naïve Zürich São Paulo crème brûlée déjà vu façade Ångström"
).split()

REGIONS = [
    "NORTH", "SOUTH", "EAST", "WEST", "NORTH_EAST", "NORTH_WEST", "SOUTH_EAST", "SOUTH_WEST",
    "CENTRAL", "OFFSHORE", "ONLINE", "OTHER_REGION",
]
FIRST_NAMES = (
    "anna ben carla dmitri elena farid grace hiro ines jonas kemal lena marco nadia oskar priya "
    "quentin rosa sven tara umar vera wei xenia yusuf zoe"
).split()
LAST_NAMES = (
    "smith muller rossi garcia kowalski novak silva tanaka kim nguyen okafor haddad berg jensen "
    "dubois costa petrov ivanova schmidt moreau"
).split()
DOMAINS = ["example.com", "mail.example.org", "corp.example.net", "shop.example.co.uk"]
BOOLS = ["true", "false", "true", "false", "True", "False", "yes", "no"]
CURRENCIES = ["EUR", "USD", "GBP", "CHF"]


class Rows:
    """A shape: a header and an endless supply of batches of rows."""

    name = ""
    line_end = "\n"

    def __init__(self, seed: int) -> None:
        self.rng = random.Random(f"{self.name}/{seed}")
        self.rows_made = 0

    def header(self) -> List[str]:
        raise NotImplementedError

    def columns(self, n: int) -> List[List[str]]:
        """n rows, column by column, texts already quoted for CSV."""
        raise NotImplementedError

    def lines(self, n: int) -> List[str]:
        cols = self.columns(n)
        self.rows_made += n
        return [",".join(row) for row in zip(*cols)]

    # Helpers shared by the shapes.

    def sprinkle_na(self, values: List[str], rate: float) -> List[str]:
        """Replaces about rate * len(values) texts by missing-value texts."""
        rng = self.rng
        count = int(len(values) * rate + rng.random())
        for i in rng.sample(range(len(values)), count):
            values[i] = rng.choice(NA_TEXTS)
        return values

    def uuids(self, n: int) -> List[str]:
        bits = self.rng.getrandbits
        out = []
        for _ in range(n):
            h = "%032x" % bits(128)
            out.append(f"{h[:8]}-{h[8:12]}-{h[12:16]}-{h[16:20]}-{h[20:]}")
        return out

    def free_text(self, n: int) -> List[str]:
        """Sentences; some carry commas, quoted words or a line break, so they need quoting."""
        rng = self.rng
        out = []
        for _ in range(n):
            text = " ".join(rng.choices(WORDS, k=rng.randint(3, 14)))
            roll = rng.random()
            if roll < 0.25:
                text += ", " + " ".join(rng.choices(WORDS, k=rng.randint(2, 6)))
            elif roll < 0.30:
                text = f'{text} "{rng.choice(WORDS)}" {rng.choice(WORDS)}'
            elif roll < 0.31:
                text += "\n" + " ".join(rng.choices(WORDS, k=rng.randint(1, 5)))
            out.append(quote(text))
        return out


def quote(text: str) -> str:
    if "," in text or '"' in text or "\n" in text or "\r" in text:
        return '"' + text.replace('"', '""') + '"'
    return text


def date_pool(start: datetime.date, days: int) -> List[str]:
    return [(start + datetime.timedelta(days=d)).isoformat() for d in range(days)]


class Mixed(Rows):
    """An order export: thirteen columns of most kinds of text, CR LF rows, the odd short row."""

    name = "mixed"
    line_end = "\r\n"

    def __init__(self, seed: int) -> None:
        super().__init__(seed)
        self.dates = date_pool(datetime.date(2021, 1, 1), 1100)

    def header(self) -> List[str]:
        return ["id", "account", "quantity", "price", "amount", "discount", "order_date",
                "updated_at", "active", "region", "comment", "email", "session"]

    def columns(self, n: int) -> List[List[str]]:
        rng = self.rng
        first = self.rows_made + 1
        cols = [
            [str(i) for i in range(first, first + n)],
            self.accounts(n),
            [str(rng.randint(-5, 500)) for _ in range(n)],
            self.prices(n),
            self.amounts(n),
            ["%.1f%%" % (rng.random() * 50) for _ in range(n)],
            self.order_dates(n),
            self.timestamps(n),
            rng.choices(BOOLS, k=n),
            rng.choices(REGIONS, k=n),
            self.free_text(n),
            self.emails(n),
            self.uuids(n),
        ]
        for i in (2, 3, 4, 5, 6, 8, 9, 11):
            self.sprinkle_na(cols[i], 0.02)
        self.sprinkle_na(cols[10], 0.2)
        return cols

    def lines(self, n: int) -> List[str]:
        # A few rows end early, as when an export is cut off; readers must
        # leave the missing cells out rather than fail. The first four cells
        # never hold a comma, so splitting the line text is safe.
        out = super().lines(n)
        for i in self.rng.sample(range(n), max(1, n // 5000)):
            out[i] = ",".join(out[i].split(",", 4)[:4])
        return out

    def accounts(self, n: int) -> List[str]:
        rng = self.rng
        return [("%08d" % rng.randrange(1, 60000)) if rng.random() < 0.95
                else "ACC-%06d" % rng.randrange(1000000) for _ in range(n)]

    def prices(self, n: int) -> List[str]:
        rng = self.rng
        out = []
        for _ in range(n):
            cents = rng.randrange(50, 50000)
            if rng.random() < 0.7:
                out.append("$%d.%02d" % divmod(cents, 100))
            else:
                out.append("%d.%02d %s" % (*divmod(cents, 100), rng.choice(CURRENCIES)))
        return out

    def amounts(self, n: int) -> List[str]:
        rng = self.rng
        out = []
        for _ in range(n):
            value = rng.random() * 100000 * (-1 if rng.random() < 0.05 else 1)
            roll = rng.random()
            if roll < 0.03:
                out.append('"{:,.2f}"'.format(value))
            elif roll < 0.05:
                out.append("%.3e" % value)
            else:
                out.append("%.2f" % value)
        return out

    def order_dates(self, n: int) -> List[str]:
        rng = self.rng
        out = rng.choices(self.dates, k=n)
        for i in rng.sample(range(n), n // 20):
            y, m, d = out[i].split("-")
            out[i] = f"{d}/{m}/{y}"
        return out

    def timestamps(self, n: int) -> List[str]:
        rng = self.rng
        out = []
        for day in rng.choices(self.dates, k=n):
            s = rng.randrange(86400)
            sep, zone = ("T", "Z") if rng.random() < 0.9 else (" ", "+02:00")
            out.append(f"{day}{sep}{s // 3600:02d}:{s // 60 % 60:02d}:{s % 60:02d}{zone}")
        return out

    def emails(self, n: int) -> List[str]:
        rng = self.rng
        return [f"{rng.choice(FIRST_NAMES)}.{rng.choice(LAST_NAMES)}{rng.randrange(1000)}"
                f"@{rng.choice(DOMAINS)}" for _ in range(n)]


class Unique(Rows):
    """Eight columns where nearly every text is new, so the type cache rarely helps."""

    name = "unique"

    def header(self) -> List[str]:
        return ["seq", "uuid", "email", "reading", "measured_at", "serial", "tag", "delta"]

    def columns(self, n: int) -> List[List[str]]:
        rng = self.rng
        first = self.rows_made + 1
        start = datetime.datetime(2020, 1, 1)
        return [
            [str(i) for i in range(first, first + n)],
            self.uuids(n),
            [f"user{i}.{rng.choice(LAST_NAMES)}@{rng.choice(DOMAINS)}"
             for i in range(first, first + n)],
            ["%.6f" % (rng.random() * 1000) for _ in range(n)],
            [(start + datetime.timedelta(microseconds=rng.getrandbits(47))).isoformat()
             for _ in range(n)],
            ["0%012d" % rng.getrandbits(39) for _ in range(n)],
            [f"{rng.choice(WORDS)} {rng.getrandbits(32):08x} lot {i}"
             for i in range(first, first + n)],
            ["%+d.%04d" % (rng.randrange(-99999, 99999), rng.randrange(10000)) for _ in range(n)],
        ]


class Repetitive(Rows):
    """Ten columns drawn from a handful of texts each: the cache answers nearly every cell."""

    name = "repetitive"
    POOLS = [
        ("status", ["ACTIVE", "PENDING", "CLOSED", "ON_HOLD"]),
        ("flag", ["true", "false"]),
        ("level", [str(i) for i in range(10)]),
        ("score", ["0.5", "1.0", "1.5", "2.0", "2.5", "3.0", "3.5", "4.0", "4.5", "5.0"]),
        ("share", ["10%", "25%", "50%", "75%", "100%"]),
        ("day", date_pool(datetime.date(2024, 3, 4), 7)),
        ("country", ["DE", "FR", "US", "GB", "IT", "ES"]),
        ("fee", ["$0.99", "$1.99", "$4.99", "$9.99", "$19.99", "$49.99"]),
        ("note", ["see above", "as agreed", "call back", "no change"]),
        ("slot", ["08:00", "12:30", "17:45"]),
    ]

    def header(self) -> List[str]:
        return [name for name, _ in self.POOLS]

    def columns(self, n: int) -> List[List[str]]:
        cols = [self.rng.choices(pool, k=n) for _, pool in self.POOLS]
        for col in cols:
            self.sprinkle_na(col, 0.02)
        return cols


def kind_pools(rng: random.Random) -> Dict[str, List[str]]:
    """A few thousand texts of each kind of cell, shared by every column of that kind."""
    dates = date_pool(datetime.date(2019, 1, 1), 2000)
    return {
        "int": [str(rng.randint(-1000, 100000)) for _ in range(4000)],
        "dec": ["%.2f" % (rng.random() * 1000) for _ in range(4000)],
        "pct": ["%d%%" % rng.randrange(101) for _ in range(101)],
        "date": dates,
        "bool": BOOLS,
        "cat": REGIONS,
        "time": ["%02d:%02d:%02d" % (rng.randrange(24), rng.randrange(60), rng.randrange(60))
                 for _ in range(3000)],
        "code": ["%06d" % rng.randrange(100000) for _ in range(4000)],
        "money": ["$%d.%02d" % (rng.randrange(500), rng.randrange(100)) for _ in range(4000)],
        "word": [" ".join(rng.choices(WORDS, k=2)) for _ in range(4000)],
    }


class Wide(Rows):
    """Three hundred short columns (one without a name), with per-kind pools of texts."""

    name = "wide"
    NUM_COLS = 300
    UNNAMED = 150

    def __init__(self, seed: int) -> None:
        super().__init__(seed)
        self.pools = kind_pools(self.rng)
        kinds = list(self.pools)
        self.kinds = [kinds[j % len(kinds)] for j in range(self.NUM_COLS)]

    def header(self) -> List[str]:
        return ["" if j == self.UNNAMED else f"c{j:03d}_{kind}"
                for j, kind in enumerate(self.kinds)]

    def columns(self, n: int) -> List[List[str]]:
        cols = [self.rng.choices(self.pools[kind], k=n) for kind in self.kinds]
        for col in cols[::7]:
            self.sprinkle_na(col, 0.05)
        return cols


class Narrow(Rows):
    """One column mixing kinds, so the trial order keeps changing and rows are tiny."""

    name = "narrow"

    def __init__(self, seed: int) -> None:
        super().__init__(seed)
        rng = self.rng
        pools = kind_pools(rng)
        weighted = [("int", 40), ("dec", 25), ("date", 10), ("word", 8), ("pct", 5), ("code", 2)]
        mix = [text for kind, weight in weighted
               for text in rng.choices(pools[kind], k=weight * 1000)]
        mix += rng.choices(NA_TEXTS, k=10000)
        self.mix = mix

    def header(self) -> List[str]:
        return ["value"]

    def columns(self, n: int) -> List[List[str]]:
        return [self.rng.choices(self.mix, k=n)]


SHAPES: Dict[str, Callable[[int], Rows]] = {
    cls.name: cls for cls in (Mixed, Unique, Repetitive, Wide, Narrow)
}


def write_csv(shape: str, size_mb: float, out_path: str, seed: int = 1) -> int:
    """Writes the file and returns its size in bytes."""
    rows = SHAPES[shape](seed)
    target = int(size_mb * MB)
    end = rows.line_end
    written = 0
    with open(out_path, "wb") as out:
        written += out.write((",".join(map(quote, rows.header())) + end).encode())
        while written < target:
            block = (end.join(rows.lines(BATCH_ROWS)) + end).encode()
            if written + len(block) > target:
                block = cut_at_row(block, target - written, end.encode())
            written += out.write(block)
    return written


def cut_at_row(block: bytes, wanted: int, end: bytes) -> bytes:
    """The shortest prefix of block that is at least wanted bytes and ends a row.

    A line break inside quotes is not a row end, so a candidate counts only
    with an even number of quote characters before it. The block itself ends
    a row, so the search always succeeds.
    """
    start = max(wanted - len(end), 0)
    while True:
        stop = block.index(end, start) + len(end)
        if block.count(b'"', 0, stop) % 2 == 0:
            return block[:stop]
        start = stop

def main(argv: Sequence[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("shape", nargs="?", choices=sorted(SHAPES))
    parser.add_argument("size_mb", nargs="?", type=float, help="size in MB (10^6 bytes)")
    parser.add_argument("out", nargs="?", help="path of the file to write")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--list", action="store_true", help="list the shapes and exit")
    args = parser.parse_args(argv)
    if args.list:
        for name, cls in SHAPES.items():
            print(f"{name:<11} {cls.__doc__}")
        return 0
    if args.out is None:
        parser.error("SHAPE SIZE_MB OUT are required")
    size = write_csv(args.shape, args.size_mb, args.out, args.seed)
    print(f"{args.out}: {args.shape}, {size / MB:.1f} MB")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
