"""korvex-graph bake: scoring graphs and descriptor sets into a graph archive."""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, TypeVar

from .._bake import Baked, bake_inputs, read_inputs
from .._graph import Graph
from ._common import (
    Failure,
    add_max_input_size,
    add_output,
    add_quiet,
    add_subcommand,
    check_outputs,
    check_stdin_once,
    examples,
    failing_as_one_line,
    human_bytes,
    input_file,
    run_interruptible,
    say,
    write_outputs,
)

if TYPE_CHECKING:
    from .._bake import Input

T = TypeVar("T")

DESCRIPTION = """\
Bake protobuf schemas into one minimised graph archive.

Each INPUT is a compiled descriptor set (what protoc --include_imports
--descriptor_set_out writes; recognised by its content, whatever its name,
also gzipped), .proto files (compiled with protoc, --include_imports, the
-I folders given here), a scoring-graph YAML document, or a folder or
.tar.gz archive of such documents (*.yaml, *.yml, taken in the order of
their paths). Inputs merge in the order given, a descriptor set giving one
document per .proto file in the set's order; where two documents define a
message, the first definition wins and a different second one is warned
about. All the sets are read as one: a file in two of them is read once,
and a name defined in several files is read as each file sees it.

While minimising, a progress bar shows on stderr when it is a terminal
(plain lines otherwise); warnings show as they arise, and a summary at the
end. Outputs are written atomically: an interrupted or failed run leaves
none of them half-written."""


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> argparse.ArgumentParser:
    parser = add_subcommand(
        subparsers,
        "bake",
        "bake descriptor sets or scoring-graph YAML into a graph archive",
        DESCRIPTION,
        examples(
            "protoc --include_imports --descriptor_set_out=set.pb -I protos protos/*.proto",
            "korvex-graph bake set.pb -o graph.rkyv",
            "korvex-graph bake -I protos protos/*.proto -o graph.rkyv",
            "korvex-graph bake released.pb preview.pb.gz -o graph.rkyv",
            "korvex-graph bake scoring-graphs/ extra.yaml -o graph.rkyv --yaml graph.yaml",
        ),
    )
    parser.add_argument("inputs", nargs="+", metavar="INPUT",
                        help='descriptor set, .proto file, YAML document, folder or .tar.gz ("-": standard input)')
    add_output(parser, "where to write the graph archive")
    parser.add_argument("--yaml", metavar="FILE", help="also write the minimised graph as YAML")
    parser.add_argument("--initial-yaml", metavar="FILE", help="also write the graph before minimisation as YAML")
    add_quiet(parser, "no progress and no summary (warnings still show)")
    add_input_options(parser, "a YAML document or a .tar.gz member (4 times as much from a .tar.gz in all), or ")
    return parser


def add_input_options(parser: argparse.ArgumentParser, bounds: str = "") -> None:
    """--max-input-size and -I, for the verbs that read descriptor sets."""
    add_max_input_size(parser, bounds)
    parser.add_argument(
        "-I", "--proto-path", "--proto_path", dest="proto_path", action="append", default=[], metavar="PATH",
        help="for .proto inputs: a folder where protoc looks for them and their imports (repeatable)")


class PlainProgress:
    """Progress as lines, for a stderr that is not a terminal: one at the
    start and one per quarter of the work."""

    def __init__(self) -> None:
        self.next_quarter = 0

    def __call__(self, done: int, total: int) -> None:
        quarter = 4 * done // total if total else 4
        if quarter >= self.next_quarter:
            say(f"minimising: {25 * quarter}%")
            self.next_quarter = quarter + 1

    def close(self) -> None:
        pass


class BarProgress:
    """A bar on the terminal, shown only while minimising: merge warnings
    come before the first report and compile warnings after the last, so
    the bar never has to share the screen with them."""

    def __init__(self) -> None:
        self.progress: Any = None
        self.task: Any = None
        self.plain: PlainProgress | None = None  # without rich

    def __call__(self, done: int, total: int) -> None:
        if self.plain is not None:
            return self.plain(done, total)
        if self.progress is None:
            try:  # only a terminal needs rich
                from rich.console import Console
                from rich.progress import BarColumn, Progress, TaskProgressColumn, TextColumn, TimeElapsedColumn
            except ImportError:
                self.plain = PlainProgress()
                return self.plain(done, total)

            self.progress = Progress(
                TextColumn("minimising"),
                BarColumn(),
                TaskProgressColumn(),
                TimeElapsedColumn(),
                console=Console(stderr=True),
                transient=True,
            )
            self.progress.start()
            self.task = self.progress.add_task("minimising", total=max(total, 1))
        self.progress.update(self.task, completed=done if total else 1)
        if done >= total:
            self.close()

    def close(self) -> None:
        if self.progress is not None:
            self.progress.stop()


def run(args: argparse.Namespace) -> int:
    start = time.perf_counter()
    check_outputs([args.output, args.yaml, args.initial_yaml], args.inputs)
    inputs = read_or_fail(read_inputs, args.inputs, args)

    progress: PlainProgress | BarProgress | None = None
    if not args.quiet:
        progress = BarProgress() if sys.stderr.isatty() else PlainProgress()
    sys.stderr.flush()  # the core writes its warnings straight to the descriptor
    try:
        baked = run_interruptible(
            lambda: bake_inputs(inputs, yaml=args.yaml is not None, initial_yaml=args.initial_yaml is not None,
                                progress=progress)
        )
    except RuntimeError as error:
        text = failure_text(error)
        if text.startswith(NO_ENTRIES):  # the core's words, which name no input
            text = f"{' '.join(args.inputs)}: no message types to bake ({text})"
        raise Failure(text) from None
    finally:
        if progress is not None:
            progress.close()

    outputs: list[tuple[str, bytes | str]] = [(args.output, baked.archive)]
    if args.yaml is not None and baked.yaml is not None:
        outputs.append((args.yaml, baked.yaml))
    if args.initial_yaml is not None and baked.initial_yaml is not None:
        outputs.append((args.initial_yaml, baked.initial_yaml))
    write_outputs(outputs)
    if not args.quiet:
        _summary(args.output, inputs, baked, time.perf_counter() - start)
    return 0


def read_or_fail(read: Callable[..., T], paths: list[str], args: argparse.Namespace) -> T:
    """read(paths) with the command line's -I and --max-input-size ("-":
    standard input); Failure for what cannot be read."""
    check_stdin_once(paths)
    with failing_as_one_line():
        return read([input_file(p) for p in paths], proto_path=args.proto_path, max_input_size=args.max_input_size)


NO_ENTRIES = "no scoring-graph entries found"


def failure_text(error: RuntimeError) -> str:
    """The stage's message, after the name of the input it belongs to (which
    then replaces the reader's "scoring_graph[i]: " prefix)."""
    message = str(error)
    name = getattr(error, "input_name", None)
    if name is None:
        return message
    if message.startswith("scoring_graph[") and "]: " in message:
        message = message.split("]: ", 1)[1]
    return f"{name}: {message}"


def _summary(output: str, inputs: list[Input], baked: Baked, seconds: float) -> None:
    graph = Graph.open(baked.archive)
    sets = sum(isinstance(i.data, bytes) for i in inputs)
    texts = len(inputs) - sets
    origin = [f"{n} {what}{'s' if n != 1 else ''}" for n, what in ((texts, "YAML document"), (sets, "descriptor set")) if n]
    say(f"documents  {baked.documents:,} (from {' and '.join(origin)})")
    say(f"messages   {baked.messages:,}")
    say(f"states     {baked.states:,} before minimisation, {len(graph.nodes):,} after")
    say(f"archive    {output}: {human_bytes(len(baked.archive))}")
    say(f"time       {seconds:.2f} s")
