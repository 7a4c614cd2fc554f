"""Classic regression data sets that ship inside PyPI packages: scikit-learn's diabetes and statsmodels' bundled
data. Nothing is downloaded (statsmodels' get_rdataset would need the network and is not used).

Each set has one numeric target and numeric features only; rows with a missing value in a used column are
dropped. SETS is the table of choices: the target and why it is a sensible regression target, and the columns
left out and why. The benchmarks load them with `load(name)` or `load_all(names)`.
"""

from __future__ import annotations

import sys
from dataclasses import dataclass
from typing import Callable

import numpy as np


@dataclass(frozen=True)
class Source:
    name: str
    package: str  # "sklearn" or "statsmodels"
    target: str  # a column, or the name of the derived target (see DERIVED)
    why: str  # what the target measures and why it is regressed on the rest
    dropped: tuple[str, ...] = ()  # columns besides the target that are not features
    dropped_why: str = ""


@dataclass(frozen=True)
class DataSet:
    name: str
    X: np.ndarray
    y: np.ndarray
    features: list[str]
    target: str


SETS: tuple[Source, ...] = (
    Source("diabetes", "sklearn", "progression",
           "disease progression one year after baseline, from age, sex, BMI, blood pressure and six serum measures "
           "(Efron et al. 2004); scikit-learn ships the features centred and scaled"),
    Source("longley", "statsmodels", "TOTEMP",
           "total employment from GNP, its deflator, unemployment, armed forces, population and the year; Longley's "
           "(1967) test of least squares on nearly collinear columns, with the year as its trend term"),
    Source("stackloss", "statsmodels", "STACKLOSS",
           "ammonia lost from a plant from air flow, cooling water temperature and acid concentration "
           "(Brownlee 1965)"),
    Source("ccard", "statsmodels", "AVGEXP",
           "average monthly credit card expenditure from age, income, its square and home ownership (Greene)"),
    Source("engel", "statsmodels", "foodexp",
           "household food expenditure from household income (Engel's 1857 data)"),
    Source("star98", "statsmodels", "share_above",
           "share of a California county's students above the national median in maths, NABOVE / (NABOVE + "
           "NBELOW), from its demographic, teacher and spending columns (and the interactions the set ships)",
           ("NABOVE", "NBELOW"), "the counts the target is made of"),
    Source("fair", "statsmodels", "affairs",
           "time spent in extramarital affairs from marriage rating, age, years married, children, religiousness, "
           "education and occupations (Fair 1978); mostly zeros"),
    Source("committee", "statsmodels", "BILLS104",
           "bills assigned to a House committee in the 104th Congress from its size, subcommittees, staff, "
           "prestige and its bills in the 103rd"),
    Source("cpunish", "statsmodels", "EXECUTIONS",
           "executions in 1996 in the 17 US states that carried any out, from income, poverty, share of black "
           "residents, violent crime, region and the share with a college degree"),
    Source("copper", "statsmodels", "WORLDCONSUMPTION",
           "world copper consumption from copper and aluminium prices, an income index, inventories and a time "
           "index 1..25 (the trend term of the classic model)"),
    Source("grunfeld", "statsmodels", "invest",
           "a firm's gross investment from its market value and capital stock (Grunfeld 1958)",
           ("firm", "year"), "the firm's name and the year identify the row"),
    Source("anes96", "statsmodels", "PID",
           "party identification on a 7-point scale (0 strong Democrat .. 6 strong Republican), treated as a number, "
           "from the respondent's and the candidates' left-right placements, TV news, age, education, income and "
           "the log of the home town's population",
           ("vote", "popul"), "vote is the respondent's vote, an outcome of the same survey, not a predictor; popul "
           "is kept as its log, logpopul"),
    Source("statecrime", "statsmodels", "murder",
           "murders per 100,000 residents of a US state from high school graduation, poverty, single parenthood, "
           "share of white residents and urbanisation",
           ("violent",), "violent crime counts the murders themselves"),
    Source("scotland", "statsmodels", "YES",
           "percentage voting yes to taxing powers for the Scottish parliament (1997) per district, from council "
           "tax, the female share of unemployment claims, mortality, labour participation, GDP, the share of children "
           "aged 5 to 15 and the tax-unemployment interaction the set ships"),
)

SOURCES = {source.name: source for source in SETS}
# Targets computed from columns rather than read from one.
DERIVED: dict[str, Callable] = {"share_above": lambda frame: frame["NABOVE"] / (frame["NABOVE"] + frame["NBELOW"])}


def _frame(source: Source):
    """The data set as a pandas DataFrame with the target as a column."""
    if source.package == "sklearn":
        from sklearn.datasets import load_diabetes

        bunch = load_diabetes(as_frame=True)
        frame = bunch.data.copy()
        frame[source.target] = bunch.target
        return frame
    import statsmodels.api as sm

    frame = getattr(sm.datasets, source.name).load_pandas().data.copy()
    if source.target in DERIVED:
        frame[source.target] = DERIVED[source.target](frame)
    return frame


def load(name: str) -> DataSet:
    """The named set: numeric features in the order the package ships them, the target, rows with a missing value
    in a used column dropped."""
    source = SOURCES[name]
    frame = _frame(source)
    features = [c for c in frame.columns if c != source.target and c not in source.dropped]
    not_numeric = [c for c in features if not np.issubdtype(frame[c].dtype, np.number)]
    if not_numeric:
        raise ValueError(f"{name}: feature columns {not_numeric} are not numeric; list them in `dropped`")
    frame = frame[features + [source.target]].dropna()
    return DataSet(name, frame[features].to_numpy(float), frame[source.target].to_numpy(float),
                   [str(c) for c in features], source.target)


def load_all(names: list[str] | None = None) -> list[DataSet]:
    """The named sets (all by default) in SETS order; statsmodels' sets are left out, with a message, when it is
    not installed."""
    chosen = [source for source in SETS if names is None or source.name in names]
    unknown = sorted(set(names or ()) - set(SOURCES))
    if unknown:
        raise ValueError(f"unknown data sets {unknown}; known: {', '.join(SOURCES)}")
    try:
        import statsmodels  # noqa: F401
    except ImportError:
        if any(source.package == "statsmodels" for source in chosen):
            print("statsmodels is not installed: its data sets are left out", file=sys.stderr)
        chosen = [source for source in chosen if source.package != "statsmodels"]
    return [load(source.name) for source in chosen]
