"""The xarray engine's parts, by job (``vellkit_tools.backend`` is the entry point):

``blocks``   which block a file opens with, request spellings
``lazy``     lazily indexed arrays over a block's records and values
``dataset``  a Dataset from a block's plan, one builder per kind
``tree``     a whole file as a DataTree (blocks, annotation tables, images)
``many``     the same block of many files, stacked along ``file``
"""
