"""zelto_ml's integrations with other libraries, each in its own module and imported only when
asked for, so that neither this package nor ``zelto_ml`` imports scikit-learn or Dask:

- ``zelto_ml_extras.sklearn``: a scikit-learn regressor (install ``zelto_ml[sklearn]``);
- ``zelto_ml_extras.dask``: training on Dask arrays with the bits of a local fit (install
  ``zelto_ml[dask]``).

The compiled module ``zelto_ml`` keeps its name and surface; these are plain Python on top of it.
"""
