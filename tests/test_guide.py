"""The user guide (docs/guide.md) held to the code: its Python examples run,
its survey example loads, and its tables of signatures, arguments, settings,
result fields, command options, outputs and extras list what the code has,
with the code's defaults. A guide that drifts from the code fails here."""
import argparse
import ast
import dataclasses
import importlib
import inspect
import json
import re
import shlex
from importlib.metadata import metadata
from pathlib import Path
from unittest import mock

import numpy as np
import pytest

import quiltmap
import quiltmap.__main__ as command
from quiltmap import checks, planning, preview, reconstruction, sfm, survey, tiled
from quiltmap.gis import COG_OPTIONS
from quiltmap.outputs import OUTPUTS
from quiltmap.photos import PHOTO_SETTINGS
from quiltmap.reconstruction import Result, Settings

GUIDE = Path(__file__).resolve().parent.parent / "docs" / "guide.md"
LINES = GUIDE.read_text().splitlines()
FLAT = " ".join(GUIDE.read_text().split())  # the prose with its line breaks undone
NOT_RUN = "<!-- not run -->"
# Third-party modules of the extras: an example that needs a missing one is skipped, not failed.
OPTIONAL_MODULES = {"dask", "distributed", "pyproj", "pycolmap", "tifffile", "PIL", "rasterio", "laspy"}


def fenced_blocks(language):
    """(line number, source, marked not run) of every fenced block of `language`."""
    found, i = [], 0
    while i < len(LINES):
        opening = re.match(r"^```(\w*)\s*$", LINES[i])
        if not opening:
            i += 1
            continue
        end = next(j for j in range(i + 1, len(LINES)) if LINES[j].strip() == "```")
        if opening.group(1) == language:
            found.append((i + 1, "\n".join(LINES[i + 1:end]), i > 0 and LINES[i - 1].strip() == NOT_RUN))
        i = end + 1
    return found


def tables():
    """(line index, header, rows) of every table; cells stripped."""
    found, rows, start = [], [], None
    for index, line in enumerate(LINES + [""]):
        if line.startswith("|"):
            start = index if not rows else start
            rows.append([cell.strip() for cell in line.strip().strip("|").split("|")])
        elif rows:
            found.append((start, rows[0], rows[2:]))
            rows = []
    return found


def tables_headed(first):
    return [(start, header, rows) for start, header, rows in tables() if header[0] == first]


def the_table(first):
    (_, header, rows), = tables_headed(first)
    return header, rows


def code(cell):
    """The first `code span` of a cell, or None."""
    found = re.search(r"`([^`]+)`", cell)
    return found.group(1) if found else None


def shows(text, value):
    """Whether a cell's code text shows `value`: as a Python literal, or as the word itself."""
    try:
        return ast.literal_eval(text) == value
    except (ValueError, SyntaxError):
        return text == str(value)


def resolve(dotted):
    """The object a dotted name such as quiltmap.survey.read_image names."""
    parts = dotted.split(".")
    for k in range(len(parts), 0, -1):
        try:
            found = importlib.import_module(".".join(parts[:k]))
        except ImportError:
            continue
        for name in parts[k:]:
            found = getattr(found, name)
        return found
    raise LookupError(dotted)


def plain_signature(function):
    """The signature as the guide writes it: parameters and defaults, no annotations."""
    signature = inspect.signature(function)
    parameters = [p.replace(annotation=inspect.Parameter.empty) for p in signature.parameters.values()]
    return str(signature.replace(parameters=parameters, return_annotation=inspect.Signature.empty))


CALLS = [row[0] for _, _, rows in tables_headed("call") for row in rows]


@pytest.mark.parametrize("call", CALLS, ids=[code(call).split("(")[0] for call in CALLS])
def test_signatures_are_the_code(call):
    written = code(call)
    name = written.split("(")[0]
    assert written == name + plain_signature(resolve(name))


def argument_tables():
    """(function's dotted name, rows) of each argument table, with the call table above it."""
    calls = tables_headed("call")
    paired = []
    for start, _, rows in tables_headed("argument"):
        above = max((c for c in calls if c[0] < start), key=lambda c: c[0])
        paired.append((code(above[2][0][0]).split("(")[0], rows))
    return paired


@pytest.mark.parametrize("name, rows", argument_tables(), ids=[name for name, _ in argument_tables()])
def test_argument_tables_list_every_parameter_with_its_default(name, rows):
    parameters = inspect.signature(resolve(name)).parameters
    assert [code(row[0]) for row in rows] == list(parameters)
    for row in rows:
        default = parameters[code(row[0])].default
        if default is inspect.Parameter.empty:
            assert row[1] == "required", row
        else:
            assert code(row[1]) is not None and shows(code(row[1]), default), row


def test_settings_table_lists_exactly_the_fields():
    _, rows = the_table("setting")
    assert [code(row[0]) for row in rows] == [field.name for field in dataclasses.fields(Settings)]


@pytest.mark.parametrize("field", dataclasses.fields(Settings), ids=lambda field: field.name)
def test_settings_table_gives_the_code_type_and_default(field):
    header, rows = the_table("setting")
    row = next(row for row in rows if code(row[0]) == field.name)
    default = ast.literal_eval(code(row[header.index("default")]))
    assert row[header.index("type")] == field.type.__name__
    assert type(default) is type(field.default) and default == field.default


@pytest.fixture(scope="module")
def result():
    from quiltmap.demo import photograph, views_of

    demo = photograph(size=32)
    return quiltmap.reconstruct(views_of(demo), demo.scene.grid, demo.scene.z_range, Settings(labels=16))


def test_result_table_lists_exactly_the_fields():
    _, rows = the_table("field")
    assert [code(row[0]) for row in rows] == [field.name for field in dataclasses.fields(Result)]


@pytest.mark.parametrize("field", [field.name for field in dataclasses.fields(Result)])
def test_result_table_gives_each_field_type_and_axes(result, field):
    header, rows = the_table("field")
    row = next(row for row in rows if code(row[0]) == field)
    value, written = getattr(result, field), row[header.index("dtype")]
    if isinstance(value, np.ndarray):
        axes = [axis for axis in row[header.index("shape")].strip("()").split(",") if axis.strip()]
        assert (code(written), len(axes)) == (value.dtype.name, value.ndim)
    else:
        assert written == type(value).__name__


@pytest.mark.parametrize("line, source, skipped", fenced_blocks("python"),
                         ids=[f"line {line}" for line, _, _ in fenced_blocks("python")])
def test_python_examples_run(line, source, skipped, tmp_path, monkeypatch):
    if skipped:
        pytest.skip(f"marked {NOT_RUN}")
    monkeypatch.chdir(tmp_path)
    try:
        exec(compile(source, f"{GUIDE.name}, the example at line {line}", "exec"), {"__name__": "__guide__"})
    except ModuleNotFoundError as error:
        if (error.name or "").split(".")[0] in OPTIONAL_MODULES:
            pytest.skip(f"needs {error.name}")
        raise


def test_the_first_example_runs_on_the_demonstration():
    runnable = [source for _, source, skipped in fenced_blocks("python") if not skipped]
    assert runnable and "photograph(" in runnable[0] and "views_of(" in runnable[0]


def write_image(path, width, height):
    """An 8-bit colour image of that size in the format its name says."""
    pixels = np.zeros((height, width, 3), np.uint8)
    pixels[..., 0] = (np.arange(width) % 251)[None]
    pixels[..., 1] = (np.arange(height) % 241)[:, None]
    if path.suffix.lower() in (".tif", ".tiff"):
        import tifffile

        tifffile.imwrite(path, pixels)
    elif path.suffix.lower() == ".npy":
        np.save(path, pixels.astype(np.float32) / 255)
    else:
        from PIL import Image

        Image.fromarray(pixels).save(path)


@pytest.mark.parametrize("line, source, _", fenced_blocks("json"),
                         ids=[f"line {line}" for line, _, _ in fenced_blocks("json")])
def test_survey_examples_load_and_use_every_key(line, source, _, tmp_path):
    pytest.importorskip("PIL")
    pytest.importorskip("tifffile")
    description = json.loads(source)
    for entry in description["images"]:
        camera = entry["camera"]  # the examples' principal points are their photographs' centres
        write_image(tmp_path / entry["path"], round(2 * camera["cx"] + 1), round(2 * camera["cy"] + 1))
    (tmp_path / "survey.json").write_text(source)
    loaded = survey.load_survey(tmp_path / "survey.json")
    assert len(loaded.views) == len(description["images"])
    assert set(description) == set(survey.SURVEY_KEYS)
    assert set(description["grid"]) == set(survey.GRID_KEYS)
    assert set(description["heights"]) == set(survey.HEIGHT_KEYS)
    for entry in description["images"]:
        assert (set(entry), set(entry["camera"])) == (set(survey.IMAGE_KEYS), set(survey.CAMERA_KEYS))


def test_survey_table_lists_exactly_the_keys():
    _, rows = the_table("key")
    expected = {*survey.SURVEY_KEYS, *(f"grid.{key}" for key in survey.GRID_KEYS),
                *(f"heights.{key}" for key in survey.HEIGHT_KEYS), *(f"images[].{key}" for key in survey.IMAGE_KEYS),
                *(f"images[].camera.{key}" for key in survey.CAMERA_KEYS)}
    assert sorted(code(row[0]) for row in rows) == sorted(expected)


def command_parsers():
    """The command's parser and its subcommands' parsers, as quiltmap.__main__.parse builds them."""

    class Built(Exception):
        pass

    def caught(parser, *args, **kwargs):
        raise Built(parser)

    with mock.patch.object(argparse.ArgumentParser, "parse_args", caught):
        try:
            command.parse(["reconstruct"])
        except Built as built:
            parser = built.args[0]
    subcommands, = (action for action in parser._actions if isinstance(action, argparse._SubParsersAction))
    return parser, dict(subcommands.choices)


PARSER, SUBCOMMANDS = command_parsers()


def options_of(subcommand):
    """The subcommand's arguments by the name the guide gives them: the option, or a positional's metavar."""
    return {(action.option_strings[0] if action.option_strings else action.metavar): action
            for action in SUBCOMMANDS[subcommand]._actions if not isinstance(action, argparse._HelpAction)}


def options_table(subcommand):
    """The guide's table of a subcommand's options, by option."""
    heading = f"### `quiltmap {subcommand}`"
    start = LINES.index(heading)
    (_, header, rows), = [table for table in tables_headed("option")
                          if table[0] > start and not any(line.startswith("#") for line in LINES[start + 1:table[0]])]
    return {code(row[0]).split()[0]: row[header.index("default")] for row in rows}


def tiled_defaults():
    """What the tiled options take when not given: a run with only --workers (or only --tile) given."""
    blank = dict.fromkeys(tiled.OPTIONS)
    with_workers = tiled.options_of(argparse.Namespace(**{**blank, "workers": 1}))
    with_tile = tiled.options_of(argparse.Namespace(**{**blank, "tile": with_workers["tiling"].tile}))
    return {"--tile": with_workers["tiling"].tile, "--margin": with_workers["tiling"].margin,
            "--scheduler": with_workers["scheduler"], "--workers": with_tile["workers"]}


@pytest.mark.parametrize("subcommand", sorted(SUBCOMMANDS))
def test_every_option_of_the_command_is_in_the_guide(subcommand):
    assert sorted(options_table(subcommand)) == sorted(options_of(subcommand))


@pytest.mark.parametrize("subcommand, option",
                         [(name, option) for name in sorted(SUBCOMMANDS) for option in options_of(name)])
def test_option_defaults_are_the_code(subcommand, option):
    action, written = options_of(subcommand)[option], options_table(subcommand)[option]
    if not action.option_strings or action.required:
        assert written == "required"
    elif isinstance(action, argparse._StoreTrueAction):
        assert written == "off"
    elif action.default is not None:
        assert code(written) is not None and shows(code(written), action.default), written
    elif option in tiled_defaults():
        assert code(written) is not None and shows(code(written), tiled_defaults()[option]), written


def command_lines():
    """Every `quiltmap ...` or `python -m quiltmap ...` line of the guide's shell examples, as arguments."""
    found = []
    for _, source, _ in fenced_blocks("sh"):
        for line in source.splitlines():
            words = shlex.split(line, comments=True)
            if words[:1] == ["quiltmap"]:
                found.append(words[1:])
            elif words[1:3] == ["-m", "quiltmap"]:
                found.append(words[3:])
    return found


@pytest.mark.parametrize("arguments", command_lines(), ids=" ".join)
def test_shell_examples_are_commands_the_parser_takes(arguments):
    PARSER.parse_args(arguments)  # argparse ends a command it does not take with SystemExit


def test_outputs_table_lists_exactly_the_files():
    _, rows = the_table("file")
    assert sorted(code(row[0]) for row in rows) == sorted(output.name for output in OUTPUTS)


@pytest.mark.parametrize("output", OUTPUTS, ids=lambda output: output.name)
def test_outputs_table_says_when_each_file_is_written(output):
    header, rows = the_table("file")
    written = next(row for row in rows if code(row[0]) == output.name)[header.index("written")]
    assert (output.option is None or f"`{output.option}`" in written) and output.tiled_only == ("tiled" in written)


def test_extras_table_lists_exactly_the_package_extras():
    _, rows = the_table("extra")
    assert sorted(code(row[0]) for row in rows) == sorted(metadata("quiltmap").get_all("Provides-Extra"))


def photo_settings_text():
    changed = [f"{field.name}={getattr(PHOTO_SETTINGS, field.name)!r}" for field in dataclasses.fields(Settings)
               if field.name != "labels" and getattr(PHOTO_SETTINGS, field.name) != field.default]
    return f"Settings({', '.join(changed)})"


# Figures the guide's prose quotes, as the code has them.
QUOTED = {
    "PHOTO_SETTINGS": photo_settings_text,
    "planning's labels": lambda: f"from {planning.LABELS[0]} to {planning.LABELS[1]} labels",
    "planning's percentiles": lambda: f"between their {planning.LOW_PERCENTILE:g}th and "
                                      f"{planning.HIGH_PERCENTILE:g}th percentiles",
    "two-view tracks": lambda: f"kept with fewer than {sfm.FEW_PHOTOGRAPHS} photographs",
    "tile batches": lambda: f"Tiles go to the scheduler {tiled.BATCH_TILES} at a time",
    "tile multiple": lambda: f"a multiple of {reconstruction.MOSAIC_BLOCK}",
    "ray steps": lambda: f"more than {checks.MAX_RAY_CELLS:,} cells of height",
    "near nadir": lambda: f"within {reconstruction.NEAR_NADIR:g} degrees of the most nadir one",
    "match warning": lambda: f"under {100 * reconstruction.LEAST_MATCHED:g} % of the cells",
    "EPSG codes": lambda: f"{survey.EPSG_CODES.start} to {survey.EPSG_CODES.stop - 1}",
    "COG tiles": lambda: f"tiles of {COG_OPTIONS['BLOCKSIZE']} x {COG_OPTIONS['BLOCKSIZE']}",
    "preview width": lambda: f"at least {preview.MIN_WIDTH} pixels wide",
    "preview thinning": lambda: f"more than {inspect.signature(preview.preview_image).parameters['largest'].default} "
                                f"cells on a side",
}


@pytest.mark.parametrize("what", sorted(QUOTED))
def test_quoted_figures_are_the_code(what):
    assert QUOTED[what]() in FLAT
