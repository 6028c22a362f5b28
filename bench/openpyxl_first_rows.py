"""The comparison for ExcelReadBench: the first rows of a workbook's first sheet read with
openpyxl in read-only mode, as strings. Arguments: the workbook, the number of rows. Prints how
many rows it read; exits 2 when openpyxl is not installed."""
import sys

try:
    import openpyxl
except ImportError:
    sys.exit(2)

path, wanted = sys.argv[1], int(sys.argv[2])
workbook = openpyxl.load_workbook(path, read_only=True)
rows = [["" if value is None else str(value) for value in row]
        for row in workbook.worksheets[0].iter_rows(max_row=wanted, values_only=True)]
workbook.close()
print(len(rows))
