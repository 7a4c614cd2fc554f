"""What the benchmarks share around their child processes: one measurement run in a fresh interpreter with
its JSON answer, and the versions of the packages measured."""

from __future__ import annotations

import json
import subprocess


def answer_of(command: list[str], env: dict[str, str], timeout: float) -> dict:
    """The JSON object a child prints last, or {"failure": why} when it is killed, fails or prints nothing."""
    try:
        done = subprocess.run(command, capture_output=True, text=True, env=env, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"failure": f"killed after {timeout:g} s"}
    lines = done.stdout.strip().splitlines()
    if done.returncode != 0 or not lines:
        tail = (done.stderr.strip().splitlines() or ["no output"])[-1]
        return {"failure": f"exit {done.returncode}: {tail}"}
    return json.loads(lines[-1])


def answer(run, text: str) -> None:
    """The child's side: runs `run` on the JSON job `text` and prints its answer as one JSON line; a failure
    is that run's answer ({"failure": why}), not the benchmark's end."""
    job = json.loads(text)
    try:
        found = run(job)
    except Exception as error:
        found = {"failure": f"{type(error).__name__}: {error}"}
    print(json.dumps(found), flush=True)


def package_versions(packages: tuple[str, ...]) -> list[str]:
    """'name version' for each package, or 'name (missing)'."""
    from importlib.metadata import PackageNotFoundError, version

    found = []
    for package in packages:
        try:
            found.append(f"{package} {version(package)}")
        except PackageNotFoundError:
            found.append(f"{package} (missing)")
    return found
