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
class Spec:
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


SETS: tuple[Spec, ...] = (
    Spec("diabetes", "sklearn", "progression",
         "disease progression one year after baseline, from age, sex, BMI, blood pressure and six serum measures "
         "(Efron et al. 2004); scikit-learn ships the features centred and scaled"),
    Spec("longley", "statsmodels", "TOTEMP",
         "total employment from GNP, its deflator, unemployment, armed forces, population and the year; Longley's "
         "(1967) test of least squares on nearly collinear columns, with the year as its trend term"),
    Spec("stackloss", "statsmodels", "STACKLOSS",
         "ammonia lost from a plant from air flow, cooling water temperature and acid concentration "
         "(Brownlee 1965)"),
    Spec("ccard", "statsmodels", "AVGEXP",
         "average monthly credit card expenditure from age, income, its square and home ownership (Greene)"),
    Spec("engel", "statsmodels", "foodexp",
         "household food expenditure from household income (Engel's 1857 data)"),
    Spec("star98", "statsmodels", "share_above",
         "share of a California county's students above the national median in maths, NABOVE / (NABOVE + "
         "NBELOW), from its demographic, teacher and spending columns (and the interactions the set ships)",
         ("NABOVE", "NBELOW"), "the counts the target is made of"),
    Spec("fair", "statsmodels", "affairs",
         "time spent in extramarital affairs from marriage rating, age, years married, children, religiousness, "
         "education and occupations (Fair 1978); mostly zeros"),
    Spec("committee", "statsmodels", "BILLS104",
         "bills assigned to a House committee in the 104th Congress from its size, subcommittees, staff, "
         "prestige and its bills in the 103rd"),
    Spec("cpunish", "statsmodels", "EXECUTIONS",
         "executions in 1996 in the 17 US states that carried any out, from income, poverty, share of black "
         "residents, violent crime, region and the share with a college degree"),
    Spec("copper", "statsmodels", "WORLDCONSUMPTION",
         "world copper consumption from copper and aluminium prices, an income index, inventories and a time "
         "index 1..25 (the trend term of the classic model)"),
    Spec("grunfeld", "statsmodels", "invest",
         "a firm's gross investment from its market value and capital stock (Grunfeld 1958)",
         ("firm", "year"), "the firm's name and the year identify the row"),
    Spec("anes96", "statsmodels", "PID",
         "party identification on a 7-point scale (0 strong Democrat .. 6 strong Republican), treated as a number, "
         "from the respondent's and the candidates' left-right placements, TV news, age, education, income and "
         "the log of the home town's population",
         ("vote", "popul"), "vote is the respondent's vote, an outcome of the same survey, not a predictor; popul "
         "is kept as its log, logpopul"),
    Spec("statecrime", "statsmodels", "murder",
         "murders per 100,000 residents of a US state from high school graduation, poverty, single parenthood, "
         "share of white residents and urbanisation",
         ("violent",), "violent crime counts the murders themselves"),
    Spec("scotland", "statsmodels", "YES",
         "percentage voting yes to taxing powers for the Scottish parliament (1997) per district, from council "
         "tax, the female share of unemployment claims, mortality, labour participation, GDP, the share of children "
         "aged 5 to 15 and the tax-unemployment interaction the set ships"),
)

SPECS = {spec.name: spec for spec in SETS}
# Targets computed from columns rather than read from one.
DERIVED: dict[str, Callable] = {"share_above": lambda frame: frame["NABOVE"] / (frame["NABOVE"] + frame["NBELOW"])}


def _frame(spec: Spec):
    """The data set as a pandas DataFrame with the target as a column."""
    if spec.package == "sklearn":
        from sklearn.datasets import load_diabetes

        bunch = load_diabetes(as_frame=True)
        frame = bunch.data.copy()
        frame[spec.target] = bunch.target
        return frame
    import statsmodels.api as sm

    frame = getattr(sm.datasets, spec.name).load_pandas().data.copy()
    if spec.target in DERIVED:
        frame[spec.target] = DERIVED[spec.target](frame)
    return frame


def load(name: str) -> DataSet:
    """The named set: numeric features in the order the package ships them, the target, rows with a missing value
    in a used column dropped."""
    spec = SPECS[name]
    frame = _frame(spec)
    features = [c for c in frame.columns if c != spec.target and c not in spec.dropped]
    not_numeric = [c for c in features if not np.issubdtype(frame[c].dtype, np.number)]
    if not_numeric:
        raise ValueError(f"{name}: feature columns {not_numeric} are not numeric; list them in `dropped`")
    frame = frame[features + [spec.target]].dropna()
    return DataSet(name, frame[features].to_numpy(float), frame[spec.target].to_numpy(float),
                   [str(c) for c in features], spec.target)


def load_all(names: list[str] | None = None) -> list[DataSet]:
    """The named sets (all by default) in SETS order; statsmodels' sets are left out, with a message, when it is
    not installed."""
    chosen = [spec for spec in SETS if names is None or spec.name in names]
    unknown = sorted(set(names or ()) - set(SPECS))
    if unknown:
        raise ValueError(f"unknown data sets {unknown}; known: {', '.join(SPECS)}")
    try:
        import statsmodels  # noqa: F401
    except ImportError:
        if any(spec.package == "statsmodels" for spec in chosen):
            print("statsmodels is not installed: its data sets are left out", file=sys.stderr)
        chosen = [spec for spec in chosen if spec.package != "statsmodels"]
    return [load(spec.name) for spec in chosen]
