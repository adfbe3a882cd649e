"""Native extension for building compiled scoring graphs."""

import typing

def build_graph(
    scoring_graphs: typing.Sequence[str],
    emit_yaml: bool = False,
    emit_initial_yaml: bool = False,
    on_progress: typing.Optional[typing.Any] = None,
) -> tuple[bytes, typing.Optional[str], typing.Optional[str]]: ...
def build_fds_index(
    type_to_file: typing.Mapping[str, str],
    file_to_span: typing.Mapping[str, tuple[int, int]],
    dep_graph: typing.Mapping[str, typing.Sequence[str]],
    ext_to_file: typing.Mapping[str, str],
) -> bytes: ...
