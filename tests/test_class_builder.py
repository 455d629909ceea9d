"""Classes made in C++ by the class builder must behave like Python classes."""
import abc
import copy
import pickle

import pytest
import torch

import class_builder_probe as probe


def test_identity_and_relations():
    square = probe.Square(2.0)
    assert probe.Square.__module__ == "class_builder_probe"
    assert probe.Square.__qualname__ == "Square" and probe.Square.__name__ == "Square"
    assert repr(square).startswith("<class_builder_probe.Square object at ")
    assert isinstance(square, probe.Shape) and issubclass(probe.Square, probe.Shape)
    # The metaclass comes from the bases, as in a class statement.
    assert type(probe.Square) is abc.ABCMeta
    assert probe.Square.__doc__ == "A square with a side."
    assert probe.Square.corners == 4


def test_abstract_base_is_still_enforced_and_satisfied():
    with pytest.raises(TypeError):
        probe.Shape("x")
    assert probe.Square(3.0).area() == 9.0


def test_super_in_init_new_and_methods():
    before = probe.Shape.created
    square = probe.Square(1.5, name="tile")
    assert square.name == "tile" and square.made_by_new is True
    assert probe.Shape.created == before + 1
    assert square.describe() == "shape tile of side 1.5"


def test_python_subclass_uses_super_into_cpp_methods():
    class Bordered(probe.Square):
        def area(self):
            return super().area() + 1

    assert Bordered(2.0).area() == 5.0
    assert Bordered.unit().side == 1.0
    assert type(Bordered.unit()) is Bordered


def test_properties_class_and_static_methods():
    square = probe.Square(2.0)
    square.side = 3.0
    assert square.side == 3.0 and square.perimeter == 12.0
    with pytest.raises(ValueError, match="positive"):
        square.side = -1.0
    with pytest.raises(AttributeError):
        square.perimeter = 1.0
    assert probe.Square.side.__doc__ == "Length of a side."
    assert probe.Square.sides() == 4 and square.sides() == 4
    assert isinstance(probe.Square.unit(), probe.Square)


def test_arguments_defaults_keyword_only_and_varargs():
    square = probe.Square(2.0)
    assert square.scaled().side == 4.0
    assert square.scaled(3.0).side == 6.0
    assert square.scaled(factor=0.5, copy=False) is square and square.side == 1.0
    with pytest.raises(TypeError):
        square.scaled(2.0, False)  # copy is keyword-only
    assert square.collect(1, 2, a=3) == ((1, 2), {"a": 3})
    with pytest.raises(TypeError):
        probe.Square()  # side has no default
    assert "Side times side." in probe.Square.area.__doc__


def test_pickling_by_reference_and_deepcopy():
    square = probe.Square(2.5, name="p")
    assert pickle.loads(pickle.dumps(probe.Square)) is probe.Square
    restored = pickle.loads(pickle.dumps(square))
    assert type(restored) is probe.Square and restored.side == 2.5 and restored.name == "p"

    module = probe.Scale(3)
    assert isinstance(module, torch.nn.Module)
    clone = copy.deepcopy(module)
    assert type(clone) is probe.Scale
    assert clone.weight is not module.weight and torch.equal(clone.weight, module.weight)
    out = clone(torch.ones(1, 3, 2, 2))
    assert out.shape == (1, 3, 2, 2)
    assert "Scale()" in repr(module)
    assert [n for n, _ in module.named_parameters()] == ["weight"]


def test_class_decorator_applied_after_creation():
    assert probe.registry == [probe.Tagged]


def test_signatures_read_like_python():
    import inspect
    assert str(inspect.signature(probe.Square.scaled)) == "(self, factor=2.0, *, copy=True)"
    assert str(inspect.signature(probe.Square(1.0).scaled)) == "(factor=2.0, *, copy=True)"
    assert str(inspect.signature(probe.Square.collect)) == "(self, *args, **kwargs)"
    assert str(inspect.signature(probe.Square.unit)) == "()"
    assert str(inspect.signature(probe.Square.sides)) == "()"
    assert str(inspect.signature(probe.Square.__init__)) == "(self, side, name='square')"
    assert str(inspect.signature(probe.Scale(2).forward)) == "(arg0)"
    assert probe.Square.area.__doc__ == "Side times side."


def test_signatures_of_defaults_without_a_literal_form_and_of_parameter_kinds():
    import inspect
    box = probe.TensorBox()
    assert box.dtype is torch.float32
    signature = inspect.signature(probe.TensorBox)
    assert str(signature) == "(dtype=torch.float32)"
    assert signature.parameters["dtype"].default is torch.float32
    assert str(inspect.signature(probe.TensorBox.cast)) == "(self, x, /, *, dtype=torch.float64)"
    assert str(inspect.signature(box.cast)) == "(x, /, *, dtype=torch.float64)"
    assert box.cast(torch.ones(1)).dtype is torch.float64 and box.cast.__doc__ == "x in dtype."
    with pytest.raises(TypeError):
        box.cast(x=torch.ones(1))  # positional-only
    with pytest.raises(TypeError):
        box.cast(torch.ones(1), torch.float16)  # dtype is keyword-only
    assert str(inspect.signature(probe.TensorBox.make.__func__)) == "(cls)"
    assert type(probe.TensorBox.make()) is probe.TensorBox
    assert str(inspect.signature(probe.zeros)) == "(n, dtype=torch.float32)"
    assert probe.zeros(2).dtype is torch.float32 and probe.zeros.__doc__ == "n zeros of dtype."
    assert pickle.loads(pickle.dumps(probe.zeros)) is probe.zeros

    # A class's own __new__ decides its signature, as inspect does for Python classes;
    # a subclass's own __init__ decides the subclass's.
    assert str(inspect.signature(probe.Square)) == "(*args, **kwargs)"
    assert str(inspect.signature(probe.Scale)) == "(channels)"

    class Sized(probe.TensorBox):
        def __init__(self, size):
            super().__init__()

    assert str(inspect.signature(Sized)) == "(size)" and Sized(3).dtype is torch.float32
