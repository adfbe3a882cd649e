"""python -m korvex_graph: the korvex-graph command line."""

from korvex_graph.cli import console

if __name__ == "__main__":
    console()
